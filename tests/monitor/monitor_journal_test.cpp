// The monitor's pure pieces as tables: which journal files a pass keeps,
// how records are read and ordered, which journals the discovery pairs, how
// the command line names a folder, and how the details dialog breaks a
// record into lines.

#include <gtest/gtest.h>

#include <QStringList>
#include <algorithm>
#include <string>

#include "monitor/alarm_sink.h"
#include "monitor/journal_discovery.h"
#include "monitor/journal_folder.h"
#include "monitor/journal_poller.h"
#include "monitor/journal_records.h"
#include "monitor/read_operation.h"
#include "platform/codepage.h"
#include "tests/support/qt_printers.h"

namespace {

std::vector<CString> Names(const QStringList& texts) {
  std::vector<CString> names;
  for (const QString& text : texts) names.emplace_back(text.toStdWString().c_str());
  return names;
}

QStringList Texts(const std::vector<CString>& names) {
  QStringList texts;
  for (const CString& name : names) texts.append(QString::fromStdWString(name.str()));
  return texts;
}

}  // namespace

// Which files a pass keeps of those listed, and the highest part among them.
TEST(MonitorJournalTest, SelectsTheNewestDate) {
  struct Case {
    const char* name;
    QStringList listed;
    QStringList kept;
    int part;
  };
  const Case cases[] = {
      {"one file", {"2024.05.01 Bank.txt"}, {"2024.05.01 Bank.txt"}, 0},
      {"parts in order",
       {"2024.05.01 Bank.txt", "2024.05.01.01 Bank.txt", "2024.05.01.02 Bank.txt"},
       {"2024.05.01 Bank.txt", "2024.05.01.01 Bank.txt", "2024.05.01.02 Bank.txt"},
       2},
      {"a newer date drops the older",
       {"2024.05.01 Bank.txt", "2024.05.01.03 Bank.txt", "2024.05.02 Bank.txt"},
       {"2024.05.02 Bank.txt"},
       0},
      {"newer month and year",
       {"2024.12.31 Bank.txt", "2025.01.01 Bank.txt", "2024.12.30 Bank.txt"},
       {"2025.01.01 Bank.txt"},
       0},
      // Listing order puts .100 before .99: the lower part after it is skipped.
      {"part 100 listed before 99",
       {"2024.05.01.100 Bank.txt", "2024.05.01.99 Bank.txt"},
       {"2024.05.01.100 Bank.txt"},
       100},
      {"another journal's files",
       {"2024.05.01 Банк 1.txt", "2024.05.02 Bank - errors.txt", "2024.05.01 Bank.txt"},
       {"2024.05.01 Bank.txt"},
       0},
      {"names that are no journal files", {"2024.05 Bank.txt", " Bank.txt", "Bank.txt"}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    [&] {
      std::vector<CString> chosen{L"left over"};
      ASSERT_EQ(SelectNewestJournalFiles(chosen, Names(c.listed), L"Bank"), c.part);
      ASSERT_EQ(Texts(chosen), c.kept);
    }();
  }
}

TEST(MonitorJournalTest, ReadsOperationsLines) {
  struct Case {
    const char* name;
    QString line;
    bool read;
    bool success;
    QString message;
  };
  const Case cases[] = {
      {"success", "10:00:01 09/12/2026 | Профиль: Банк | Успех | Правило 1. Файл", true, true,
       "Правило 1. Файл"},
      {"english success", "10:00:01 09/12/2026 | Профиль: Банк | Success | m", true, true, "m"},
      {"failure", "10:00:01 09/12/2026 | Профиль: Банк | Ошибка | m", true, false, "m"},
      {"any other word fails", "10:00:01 09/12/2026 | Профиль: Банк | успех | m", true, false, "m"},
      {"message keeps its separators", "10:00:01 09/12/2026 | Профиль: Банк | Успех | a | b | c",
       true, true, "a | b | c"},
      {"three fields", "10:00:01 09/12/2026 | Профиль: Банк | Успех", false, false, ""},
      {"profile field without a blank", "10:00:01 09/12/2026 | Профиль:Банк | Успех | m", false,
       false, ""},
      {"time without a blank", "10:00:01-09/12/2026 | Профиль: Банк | Успех | m", false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    [&] {
      const RecordBatch records =
          ReadJournalText(JournalKind::Operations, (c.line + "\r\n").toStdString());
      ASSERT_EQ(records.size(), c.read ? 1 : 0);
      if (!c.read) return;
      ASSERT_EQ(records.successes[0] != 0, c.success);
      ASSERT_EQ(records.ColumnText(0, 2), c.message);
      ASSERT_EQ(records.ColumnText(0, 1), QStringLiteral("Банк"));
      ASSERT_EQ(records.ColumnText(0, 0), QStringLiteral("10:00:01 09/12/2026"));
    }();
  }
}

TEST(MonitorJournalTest, JoinsErrorsRecordsWithTheirStackLines) {
  const QStringList lines{"stray stack line before any record",
                          "10:00:01 09/12/2026 | Ошибка 0x5 - Отказано в доступе. step",
                          "1. first stack line", " | a line starting with the separator",
                          "10:00:02 09/12/2026 | Запуск АК СКЗИ Квелла: сервис"};
  const RecordBatch records =
      ReadJournalText(JournalKind::Errors, (lines.join("\r\n") + "\r\n").toStdString());
  ASSERT_EQ(records.size(), 2);
  ASSERT_EQ(records.ColumnText(0, 0), QStringLiteral("10:00:01 09/12/2026"));
  ASSERT_EQ(records.ColumnText(0, 1), QStringLiteral("Ошибка 0x5 - Отказано в доступе. step \r\n"
                                                     "1. first stack line \r\n"));
  ASSERT_EQ(records.ColumnText(1, 1), QStringLiteral("Запуск АК СКЗИ Квелла: сервис"));
}

// Lines end at a line feed, with or without a carriage return before it;
// the last line counts also without a line feed, and is the record that
// may still go on; so is, in an errors journal, the last record.
TEST(MonitorJournalTest, ReadsLinesToTheEnd) {
  const std::string operations =
      "10:00:01 09/12/2026 | Профиль: Банк | Успех | a\n"
      "10:00:02 09/12/2026 | Профиль: Банк | Успех | b\r\n"
      "10:00:03 09/12/2026 | Профиль: Банк | Ошибка | c";
  for (std::size_t split = 0; split <= operations.size(); split += 7) {
    RecordBatch records;
    JournalReader reader(JournalKind::Operations, 100);
    reader.Feed(std::string_view(operations).substr(0, split), records);
    reader.Feed(std::string_view(operations).substr(split), records);
    std::uint64_t resume = 0;
    ASSERT_TRUE(reader.Finish(records, resume));
    ASSERT_EQ(records.size(), 3);
    ASSERT_EQ(records.ColumnText(1, 2), QStringLiteral("b"));
    ASSERT_EQ(records.ColumnText(2, 2), QStringLiteral("c"));
    ASSERT_EQ(resume, 100u + operations.rfind('\n') + 1);
  }
  const std::string errors = "10:00:01 09/12/2026 | one\r\n10:00:02 09/12/2026 | two\r\n1. stack";
  RecordBatch records;
  JournalReader reader(JournalKind::Errors, 0);
  reader.Feed(errors, records);
  ASSERT_EQ(records.size(), 1);
  std::uint64_t resume = 0;
  ASSERT_TRUE(reader.Finish(records, resume));
  ASSERT_EQ(records.size(), 2);
  ASSERT_EQ(records.ColumnText(1, 1), QStringLiteral("two \r\n1. stack"));
  ASSERT_EQ(resume, errors.find("10:00:02"));
}

// A cell shows each name as it is: the journal's escapes are undone, so a
// backslash in a name and a control character never look alike.
TEST(MonitorJournalTest, ShowsNamesAsTheyAre) {
  struct Case {
    const char* written;
    QString shown;
  };
  const Case cases[] = {
      {"'back\\tslash.txt'", "'back\\tslash.txt'"},
      {"'back\\x09slash.txt'", "'back\tslash.txt'"},
      {"'back\\\\x09slash.txt'", "'back\\x09slash.txt'"},
      {"SOFTWARE\\TORVAK\\qelmservice\\P\\rules\\new", "SOFTWARE\\TORVAK\\qelmservice\\P\\rules\\new"},
      {"a\\xFF.txt \\u2028\\x0A", QString("a") + QChar(0xFFFD) + ".txt " + QChar(0x2028) + "\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeJournalText(c.written), c.shown) << c.written;
}

// Marks compare the time texts: one less is the second before, across the
// day, month and year; a time outside its ranges still has a place.
TEST(MonitorJournalTest, OrdersRecordTimes) {
  auto time = [](const wchar_t* text) {
    JournalTime value = 0;
    const bool parsed = ReadJournalTime(CString(text), value);
    JournalTime bytes = 0;
    const bool readAsBytes = ReadJournalTime(platform::WideToMultiByte(text), bytes);
    if (parsed != readAsBytes || value != bytes) return JournalTime{-2};
    return parsed ? value : -1;
  };
  ASSERT_TRUE(time(L"10:00:05 09/12/2026") - 1 >= time(L"10:00:04 09/12/2026"));
  ASSERT_TRUE(time(L"10:00:05 09/12/2026") - 1 < time(L"10:00:05 09/12/2026"));
  ASSERT_TRUE(time(L"00:00:00 01/01/2027") > time(L"23:59:59 31/12/2026"));
  ASSERT_TRUE(time(L"00:00:00 01/12/2026") > time(L"23:59:59 30/11/2026"));
  ASSERT_TRUE(time(L"10:00:75 09/12/2026") > time(L"10:00:59 09/12/2026"));
  ASSERT_TRUE(time(L"10:00:75 09/12/2026") < time(L"10:01:00 09/12/2026"));
  ASSERT_EQ(time(L"10:00:05"), -1);
  // The journal's bytes are read as the wide text would be.
  for (const wchar_t* odd : {L"1:2:3 4/5/6", L"a:b:c d/e/f", L"10:00 09/12/2026", L"10:00:00 09/12",
                             L"123456789012:0:0 1/1/99999", L" 10:00:00"}) {
    ASSERT_NE(time(odd), -2) << QString::fromWCharArray(odd).toStdString();
  }
}

TEST(MonitorJournalTest, PairsTheJournalsFound) {
  struct Case {
    const char* name;
    QStringList files;
    QStringList pairs;
  };
  const Case cases[] = {
      {"one profile", {"2024.05.01 Bank.txt", "2024.05.01 Bank - errors.txt"}, {"Bank"}},
      {"a name with a dot", {"2024.05.01 A.B.txt", "2024.05.01 A.B - errors.txt"}, {"A.B"}},
      {"a journal 1 beside Банк 1",
       {"2024.05.01 1.txt", "2024.05.01 1 - errors.txt", "2024.05.01 Банк 1.txt",
        "2024.05.01 Банк 1 - errors.txt"},
       {"1", "Банк 1"}},
      {"rotated parts add no name",
       {"2024.05.01 Bank.txt", "2024.05.01.01 Bank.txt", "2024.05.01 Bank - errors.txt",
        "2024.05.01.01 Bank - errors.txt"},
       {"Bank"}},
      {"a profile with one journal", {"2024.05.01 Bank.txt"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    [&] {
      QStringList found;
      for (const JournalPair& pair : JournalPairs(JournalNames(Names(c.files)))) {
        found.append(QString::fromStdWString(pair.name.str()));
        ASSERT_EQ(pair.errorsName, pair.name + L" - errors");
      }
      ASSERT_EQ(found, c.pairs);
    }();
  }
}

TEST(MonitorJournalTest, SplitsTheCommandLine) {
  struct Case {
    const char* name;
    QStringList arguments;
    QStringList pieces;
  };
  const Case cases[] = {
      {"folder and profile", {"'/j'", "'P'"}, {"/j", "P"}},
      {"one quoted text", {"'/j' 'P' 'Q'"}, {"/j", "P", "Q"}},
      {"folder only", {"'/j'"}, {"/j"}},
      {"nothing", {}, {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Texts(SplitMonitorCommandLine(MonitorCommandLineText(Names(c.arguments)))), c.pieces);
  }
}

// The order of the replacements decides what a ")" followed by ". " keeps.
TEST(MonitorJournalTest, BreaksDetailsIntoLines) {
  ASSERT_EQ(DetailsText("a | b (x) c (y), d (z). e", 0),
            QString("a\r\nb (x)\r\nc (y)\r\nd (z)\r\ne"));
  ASSERT_EQ(DetailsText("a | b. c (y), d (z). e", 1), QString("a\r\nb.\r\nc (y)\r\nd (z).\r\ne"));
}

// The program's alarm on this machine, whatever sound it has: nothing of
// the sound library's own reaches the terminal, and at most one line of the
// monitor's per alarm says that the sound could not be played.
TEST(MonitorJournalTest, TheAlarmWritesAtMostOneLineOnTheTerminal) {
  ApplicationAlarmSink alarm;
  testing::internal::CaptureStderr();
  alarm.PlayAlarmSound();
  alarm.PlayAlarmSound();
  const std::string written = testing::internal::GetCapturedStderr();
  EXPECT_EQ(written.find("ALSA"), std::string::npos) << written;
  EXPECT_LE(std::count(written.begin(), written.end(), '\n'), 2) << written;
}

// The alarm asks for the start-up sound, then the theme's nearest, and
// rings the bell only when no sound can be played.
TEST(MonitorJournalTest, AlarmFallsBackToTheBell) {
  struct Case {
    const char* name;
    QStringList playable;
    QStringList asked;
    int bells;
  };
  const Case cases[] = {
      {"start-up sound", {"desktop-login", "service-login"}, {"desktop-login"}, 0},
      {"theme without it", {"service-login"}, {"desktop-login", "service-login"}, 0},
      {"no sound at all", {}, {"desktop-login", "service-login"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    [&] {
      QStringList tried;
      int rung = 0;
      PlayFirstAlarmSound(
          [&](const char* sound) {
            tried.append(QString::fromLatin1(sound));
            return c.playable.contains(QString::fromLatin1(sound)) ? 0 : -9;
          },
          [&] { ++rung; });
      ASSERT_EQ(tried, c.asked);
      ASSERT_EQ(rung, c.bells);
    }();
  }
}

// "Monitor timeout" times 1000 must not wrap to a short wait.
TEST(MonitorJournalTest, KeepsLongIntervals) {
  ASSERT_EQ(PassIntervalMilliseconds(0), 0u);
  ASSERT_EQ(PassIntervalMilliseconds(-5), 0u);
  ASSERT_EQ(PassIntervalMilliseconds(5), 5000u);
  ASSERT_EQ(PassIntervalMilliseconds(4294968), 4294967294u);
  ASSERT_EQ(PassIntervalMilliseconds(0x7FFFFFFF), 4294967294u);
}
