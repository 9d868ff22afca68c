// Journal names and records read back through the one reader the monitor
// runs. (The service's own writing is checked against this reader in the
// service's journal tests.)

#include "common/journal_format.h"

#include <gtest/gtest.h>

#include <string>

#include "common/journal_reader.h"
#include "platform/codepage.h"
#include "tests/support/temp_root.h"

namespace {

// The journal's bytes of a text, in the ANSI code page of a fresh store.
std::string Ansi(const CString& text) { return platform::WideToMultiByte(text.str()); }
CString Wide(std::string_view bytes) { return CString(std::wstring_view(platform::MultiByteToWide(bytes))); }

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
  testsupport::TempRoot root;  // the code page comes from the store
  for (const wchar_t* line : {L"14:05:09 09/12/2026 | Профиль: Банк | Успех",
                              L"14:05:09 09/12/2026 | Банк | Успех | x",
                              L"14:05 09/12/2026 | Профиль: Банк | Успех | x"}) {
    EXPECT_EQ(ReadJournalText(JournalKind::Operations, Ansi(line)).size(), 0) << Ansi(line);
  }
  const JournalRecords records =
      ReadJournalText(JournalKind::Operations, Ansi(L"01:02:03 04/05/2026 | Профиль: Банк | Success | a | b\r"));
  ASSERT_EQ(records.size(), 1);
  EXPECT_TRUE(records.successes[0]);
  EXPECT_EQ(Wide(records.Column(0, 1)), CString(L"Банк"));
  EXPECT_EQ(records.Column(0, 2), "a | b");  // the CR that ends the line is not the message's
  SYSTEMTIME time{};
  ASSERT_TRUE(ReadJournalTime(records.Column(0, 0), time));
  EXPECT_EQ(JournalTimeText(time), CString(L"01:02:03 04/05/2026"));
}

TEST(JournalFormat, ErrorsLinesJoinUntilTheNextRecord) {
  testsupport::TempRoot root;
  const JournalRecords records =
      ReadJournalText(JournalKind::Errors, "stack before any record\r\n01:02:03 04/05/2026 | first\r\nError: x\r\n"
                                           " | not a record start\r\n01:02:04 04/05/2026 | second\r\n");
  ASSERT_EQ(records.size(), 2);
  // The joined record's text runs to its next " | ", which the joined line brought.
  EXPECT_EQ(records.Column(0, 0), "01:02:03 04/05/2026");
  EXPECT_EQ(records.Column(0, 1), "first \r\nError: x \r\n");
  EXPECT_EQ(records.Column(1, 1), "second");
  SYSTEMTIME time{};
  ASSERT_TRUE(ReadJournalTime(records.Column(1, 0), time));
  EXPECT_EQ(time.wSecond, 4);
}

// Control characters of names never split a record or start a forged one,
// and every text reads back as itself.
TEST(JournalFormat, ControlCharactersAreWrittenEscaped) {
  struct Case {
    const wchar_t* text;
    bool keepLineBreaks;
    const wchar_t* written;
  };
  const Case cases[] = {
      {L"a.txt", false, L"a.txt"},
      {L"evil\n14:05:09 09/12/2026 | Профиль: P | Успех | x", false,
       L"evil\\x0A14:05:09 09/12/2026 | Профиль: P | Успех | x"},
      {L"tab\tcr\rdel\x7f" L"esc\x1b" L"nel\x85" L"ls\x2028", false,
       L"tab\\x09cr\\x0Ddel\\x7Fesc\\x1Bnel\\u0085ls\\u2028"},
      // The system's own multi-line texts keep their line breaks...
      {L"Создание файла x.\r\nСчетчик попыток", true, L"Создание файла x.\r\nСчетчик попыток"},
      // ...but never one that starts what reads as a record, nor a lone LF.
      {L"x\r\n14:05:09 09/12/2026 | Ошибка 0x5 - forged", true,
       L"x\\x0D\\x0A14:05:09 09/12/2026 | Ошибка 0x5 - forged"},
      {L"a\nb", true, L"a\\x0Ab"},
      // A line joins the next one when the break after it is escaped: the
      // joined line decides, so a break kept before it cannot begin a forged
      // record.
      {L"x\r\ny\r\n12:00:00 01/01/2030 | Ошибка 0x5 - forged", true,
       L"x\\x0D\\x0Ay\\x0D\\x0A12:00:00 01/01/2030 | Ошибка 0x5 - forged"},
      {L"x\r\ny\n12:00:00 01/01/2030 | forged\r\nlast", true,
       L"x\\x0D\\x0Ay\\x0A12:00:00 01/01/2030 | forged\r\nlast"},
      {L"x\r\ny\r\nz\r\n", true, L"x\r\ny\r\nz\r\n"},
      {L"x\r\nstack line", false, L"x\\x0D\\x0Astack line"},
      // A name's bytes that are not valid in the file-name encoding are shown as bytes.
      {L"a\xDCFF\xDCC0\n", false, L"a\\xFF\\xC0\\x0A"},
      // A backslash and a control character are never written alike: the
      // backslash is doubled where it would begin an escape...
      {L"back\\x09slash.txt", false, L"back\\\\x09slash.txt"},
      {L"back\tslash.txt", false, L"back\\x09slash.txt"},
      {L"a\\\\b \\u20281 \\\t \\\xDCFF", false, L"a\\\\\\b \\\\u20281 \\\\\\x09 \\\\\\xFF"},
      // ...and written as it is elsewhere: the system's registry paths, a
      // backslash before a letter, before too few digits, at the end.
      {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P1\\rules\\new", false,
       L"HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P1\\rules\\new"},
      {L"back\\tslash \\x4 \\xG1 \\u12 end\\", false, L"back\\tslash \\x4 \\xG1 \\u12 end\\"},
      {L"x\\\r\ny", true, L"x\\\\\r\ny"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeJournalText(c.text, c.keepLineBreaks), CString(c.written)) << c.text;
    EXPECT_EQ(UnescapeJournalText(c.written), CString(c.text)) << c.text;
  }
}

// What no escaped text holds reads as it stands: a backslash before
// anything else, and an escape cut short.
TEST(JournalFormat, UnescapeKeepsWhatIsNoEscape) {
  const struct {
    const wchar_t* written;
    const wchar_t* read;
  } cases[] = {
      {L"C:\\Temp\\a.txt \\rules\\new\\tab", L"C:\\Temp\\a.txt \\rules\\new\\tab"},
      {L"\\x4 \\xG1 \\u12 \\u12G4 \\", L"\\x4 \\xG1 \\u12 \\u12G4 \\"},
      {L"\\x41\\u0416\\x7f\\\\", L"A\x0416\x7f\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(UnescapeJournalText(c.written), CString(c.read)) << c.written;
}

}  // namespace
