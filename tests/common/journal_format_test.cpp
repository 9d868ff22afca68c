// Text that goes into journal records: control characters of names never
// split a record or start a forged one.

#include "common/journal_format.h"

#include <gtest/gtest.h>

namespace {

TEST(JournalTextTest, ControlCharactersAreWrittenEscaped) {
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
      {L"x\r\nstack line", false, L"x\\r\\nstack line"},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeJournalText(c.text, c.keepLineBreaks), CString(c.written)) << c.text;
}

}  // namespace
