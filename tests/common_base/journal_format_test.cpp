// Journal names and records read back the way the monitor takes them apart.
// (The service's own writing is checked against this reader in the service's
// journal tests.)

#include "common/journal_format.h"

#include <gtest/gtest.h>

namespace {

TEST(JournalFormat, NamesOfTheSuffixAndTheirKeys) {
  const struct {
    const wchar_t* name;
    const wchar_t* suffix;
    bool parses;
    JournalNameKey key;
  } cases[] = {
      {L"2026.12.09 Банк.txt", L"Банк", true, {2026, 12, 9, 0}},
      {L"2026.12.09.100 Банк.txt", L"Банк", true, {2026, 12, 9, 100}},
      {L"2026.12.09 A.B - errors.txt", L"A.B - errors", true, {2026, 12, 9, 0}},
      {L"2026.12.09 Банк 1.txt", L"1", false, {}},  // another profile whose name ends in " 1"
      {L"2026.12 Банк.txt", L"Банк", false, {}},
      {L" Банк.txt", L"Банк", false, {}},
  };
  for (const auto& c : cases) {
    JournalNameKey key;
    EXPECT_EQ(ParseJournalName(c.name, c.suffix, key), c.parses) << CStringA(c.name).GetString();
    if (c.parses) {
      EXPECT_EQ(key, c.key) << CStringA(c.name).GetString();
    }
  }
  JournalNameKey key;
  ASSERT_TRUE(ParseJournalName(JournalPartFileName(2026, 1, 2, 3, ErrorsJournalSuffix(L"Банк")),
                               L"Банк - errors", key));
  EXPECT_EQ(key, (JournalNameKey{2026, 1, 2, 3}));
}

TEST(JournalFormat, OperationsLinesNeedFourFieldsAProfileAndATime) {
  OperationsJournalRecord record;
  EXPECT_FALSE(ParseOperationsJournalLine(L"14:05:09 09/12/2026 | Профиль: Банк | Успех", record));
  EXPECT_FALSE(ParseOperationsJournalLine(L"14:05:09 09/12/2026 | Банк | Успех | x", record));
  EXPECT_FALSE(ParseOperationsJournalLine(L"14:05 09/12/2026 | Профиль: Банк | Успех | x", record));
  ASSERT_TRUE(ParseOperationsJournalLine(L"01:02:03 04/05/2026 | Профиль: Банк | Success | a | b\r", record));
  EXPECT_TRUE(record.success);
  EXPECT_EQ(record.profile, CString(L"Банк"));
  EXPECT_EQ(record.message, CString(L"a | b\r"));
  EXPECT_EQ(JournalTimeText(record.time), CString(L"01:02:03 04/05/2026"));
}

TEST(JournalFormat, ErrorsLinesJoinUntilTheNextRecord) {
  const std::vector<CString> records =
      JoinErrorsJournalRecords({L"stack before any record", L"01:02:03 04/05/2026 | first", L"Error: x",
                                L" | not a record start", L"01:02:04 04/05/2026 | second"});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], CString(L"01:02:03 04/05/2026 | first \r\nError: x \r\n | not a record start"));
  ErrorsJournalRecord parsed;
  ASSERT_TRUE(ParseErrorsJournalRecord(records[1], parsed));
  EXPECT_EQ(parsed.text, CString(L"second"));
  EXPECT_EQ(parsed.time.wSecond, 4);
}

// Control characters of names never split a record or start a forged one.
TEST(JournalFormat, ControlCharactersAreWrittenEscaped) {
  struct Case {
    const wchar_t* text;
    bool keepLineBreaks;
    const wchar_t* written;
  };
  const Case cases[] = {
      {L"a.txt", false, L"a.txt"},
      {L"evil\n14:05:09 09/12/2026 | Профиль: P | Успех | x", false,
       L"evil\\n14:05:09 09/12/2026 | Профиль: P | Успех | x"},
      {L"tab\tcr\rdel\x7f" L"esc\x1b" L"nel\x85" L"ls\x2028", false, L"tab\\tcr\\rdel\\x7Fesc\\x1Bnel\\x85ls\\u2028"},
      // The system's own multi-line texts keep their line breaks...
      {L"Создание файла x.\r\nСчетчик попыток", true, L"Создание файла x.\r\nСчетчик попыток"},
      // ...but never one that starts what reads as a record, nor a lone LF.
      {L"x\r\n14:05:09 09/12/2026 | Ошибка 0x5 - forged", true,
       L"x\\r\\n14:05:09 09/12/2026 | Ошибка 0x5 - forged"},
      {L"a\nb", true, L"a\\nb"},
      // A line joins the next one when the break after it is escaped: the
      // joined line decides, so a break kept before it cannot begin a forged
      // record.
      {L"x\r\ny\r\n12:00:00 01/01/2030 | Ошибка 0x5 - forged", true,
       L"x\\r\\ny\\r\\n12:00:00 01/01/2030 | Ошибка 0x5 - forged"},
      {L"x\r\ny\n12:00:00 01/01/2030 | forged\r\nlast", true, L"x\\r\\ny\\n12:00:00 01/01/2030 | forged\r\nlast"},
      {L"x\r\ny\r\nz\r\n", true, L"x\r\ny\r\nz\r\n"},
      {L"x\r\nstack line", false, L"x\\r\\nstack line"},
      // A name's bytes that are not valid in the file-name encoding are shown as bytes.
      {L"a\xDCFF\xDCC0\n", false, L"a\\xFF\\xC0\\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeJournalText(c.text, c.keepLineBreaks), CString(c.written)) << c.text;
}

}  // namespace
