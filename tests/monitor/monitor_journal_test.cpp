// The monitor's pure pieces as tables: which journal files a pass keeps,
// how records are read and ordered, which journals the discovery pairs, how
// the command line names a folder, and how the details dialog breaks a
// record into lines.

#include <QTest>

#include "monitor/alarm_sink.h"
#include "monitor/journal_discovery.h"
#include "monitor/journal_folder.h"
#include "monitor/journal_poller.h"
#include "monitor/journal_records.h"
#include "monitor/read_operation.h"
#include "platform/codepage.h"

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

class MonitorJournalTest : public QObject {
  Q_OBJECT
 private slots:
  void SelectsTheNewestDate_data() {
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<int>("part");
    QTest::newRow("one file") << QStringList{"2024.05.01 Bank.txt"}
                              << QStringList{"2024.05.01 Bank.txt"} << 0;
    QTest::newRow("parts in order")
        << QStringList{"2024.05.01 Bank.txt", "2024.05.01.01 Bank.txt", "2024.05.01.02 Bank.txt"}
        << QStringList{"2024.05.01 Bank.txt", "2024.05.01.01 Bank.txt", "2024.05.01.02 Bank.txt"}
        << 2;
    QTest::newRow("a newer date drops the older")
        << QStringList{"2024.05.01 Bank.txt", "2024.05.01.03 Bank.txt", "2024.05.02 Bank.txt"}
        << QStringList{"2024.05.02 Bank.txt"} << 0;
    QTest::newRow("newer month and year")
        << QStringList{"2024.12.31 Bank.txt", "2025.01.01 Bank.txt", "2024.12.30 Bank.txt"}
        << QStringList{"2025.01.01 Bank.txt"} << 0;
    // Listing order puts .100 before .99: the lower part after it is skipped.
    QTest::newRow("part 100 listed before 99")
        << QStringList{"2024.05.01.100 Bank.txt", "2024.05.01.99 Bank.txt"}
        << QStringList{"2024.05.01.100 Bank.txt"} << 100;
    QTest::newRow("another journal's files")
        << QStringList{"2024.05.01 Банк 1.txt", "2024.05.02 Bank - errors.txt",
                       "2024.05.01 Bank.txt"}
        << QStringList{"2024.05.01 Bank.txt"} << 0;
    QTest::newRow("names that are no journal files")
        << QStringList{"2024.05 Bank.txt", " Bank.txt", "Bank.txt"} << QStringList{} << 0;
  }
  void SelectsTheNewestDate() {
    QFETCH(QStringList, listed);
    QFETCH(QStringList, kept);
    QFETCH(int, part);
    std::vector<CString> chosen{L"left over"};
    QCOMPARE(SelectNewestJournalFiles(chosen, Names(listed), L"Bank"), part);
    QCOMPARE(Texts(chosen), kept);
  }

  void ReadsOperationsLines_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("read");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("message");
    QTest::newRow("success") << "10:00:01 09/12/2026 | Профиль: Банк | Успех | Правило 1. Файл"
                             << true << true << "Правило 1. Файл";
    QTest::newRow("english success") << "10:00:01 09/12/2026 | Профиль: Банк | Success | m"
                                     << true << true << "m";
    QTest::newRow("failure") << "10:00:01 09/12/2026 | Профиль: Банк | Ошибка | m" << true
                             << false << "m";
    QTest::newRow("any other word fails") << "10:00:01 09/12/2026 | Профиль: Банк | успех | m"
                                          << true << false << "m";
    QTest::newRow("message keeps its separators")
        << "10:00:01 09/12/2026 | Профиль: Банк | Успех | a | b | c" << true << true
        << "a | b | c";
    QTest::newRow("three fields") << "10:00:01 09/12/2026 | Профиль: Банк | Успех" << false
                                  << false << "";
    QTest::newRow("profile field without a blank")
        << "10:00:01 09/12/2026 | Профиль:Банк | Успех | m" << false << false << "";
    QTest::newRow("time without a blank") << "10:00:01-09/12/2026 | Профиль: Банк | Успех | m"
                                          << false << false << "";
  }
  void ReadsOperationsLines() {
    QFETCH(QString, line);
    QFETCH(bool, read);
    QFETCH(bool, success);
    QFETCH(QString, message);
    const RecordBatch records = ReadJournalText(JournalKind::Operations, (line + "\r\n").toStdString());
    QCOMPARE(records.size(), read ? 1 : 0);
    if (!read) return;
    QCOMPARE(records.successes[0] != 0, success);
    QCOMPARE(records.ColumnText(0, 2), message);
    QCOMPARE(records.ColumnText(0, 1), QStringLiteral("Банк"));
    QCOMPARE(records.ColumnText(0, 0), QStringLiteral("10:00:01 09/12/2026"));
  }

  void JoinsErrorsRecordsWithTheirStackLines() {
    const QStringList lines{"stray stack line before any record",
                            "10:00:01 09/12/2026 | Ошибка 0x5 - Отказано в доступе. step",
                            "1. first stack line", " | a line starting with the separator",
                            "10:00:02 09/12/2026 | Запуск АК СКЗИ Квелла: сервис"};
    const RecordBatch records =
        ReadJournalText(JournalKind::Errors, (lines.join("\r\n") + "\r\n").toStdString());
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.ColumnText(0, 0), QStringLiteral("10:00:01 09/12/2026"));
    QCOMPARE(records.ColumnText(0, 1), QStringLiteral("Ошибка 0x5 - Отказано в доступе. step \r\n"
                                                    "1. first stack line \r\n"));
    QCOMPARE(records.ColumnText(1, 1), QStringLiteral("Запуск АК СКЗИ Квелла: сервис"));
  }

  // Lines end at a line feed, with or without a carriage return before it;
  // the last line counts also without a line feed, and is the record that
  // may still go on; so is, in an errors journal, the last record.
  void ReadsLinesToTheEnd() {
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
      QVERIFY(reader.Finish(records, resume));
      QCOMPARE(records.size(), 3);
      QCOMPARE(records.ColumnText(1, 2), QStringLiteral("b"));
      QCOMPARE(records.ColumnText(2, 2), QStringLiteral("c"));
      QCOMPARE(resume, 100u + operations.rfind('\n') + 1);
    }
    const std::string errors =
        "10:00:01 09/12/2026 | one\r\n10:00:02 09/12/2026 | two\r\n1. stack";
    RecordBatch records;
    JournalReader reader(JournalKind::Errors, 0);
    reader.Feed(errors, records);
    QCOMPARE(records.size(), 1);
    std::uint64_t resume = 0;
    QVERIFY(reader.Finish(records, resume));
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.ColumnText(1, 1), QStringLiteral("two \r\n1. stack"));
    QCOMPARE(resume, errors.find("10:00:02"));
  }

  // Marks compare the time texts: one less is the second before, across the
  // day, month and year; a time outside its ranges still has a place.
  void OrdersRecordTimes() {
    auto time = [](const wchar_t* text) {
      JournalTime value = 0;
      const bool parsed = ReadJournalTime(CString(text), value);
      JournalTime bytes = 0;
      const bool readAsBytes = ReadJournalTime(platform::WideToMultiByte(text), bytes);
      if (parsed != readAsBytes || value != bytes) return JournalTime{-2};
      return parsed ? value : -1;
    };
    QVERIFY(time(L"10:00:05 09/12/2026") - 1 >= time(L"10:00:04 09/12/2026"));
    QVERIFY(time(L"10:00:05 09/12/2026") - 1 < time(L"10:00:05 09/12/2026"));
    QVERIFY(time(L"00:00:00 01/01/2027") > time(L"23:59:59 31/12/2026"));
    QVERIFY(time(L"00:00:00 01/12/2026") > time(L"23:59:59 30/11/2026"));
    QVERIFY(time(L"10:00:75 09/12/2026") > time(L"10:00:59 09/12/2026"));
    QVERIFY(time(L"10:00:75 09/12/2026") < time(L"10:01:00 09/12/2026"));
    QCOMPARE(time(L"10:00:05"), -1);
    // The journal's bytes are read as the wide text would be.
    for (const wchar_t* odd : {L"1:2:3 4/5/6", L"a:b:c d/e/f", L"10:00 09/12/2026",
                               L"10:00:00 09/12", L"123456789012:0:0 1/1/99999", L" 10:00:00"}) {
      QVERIFY2(time(odd) != -2, qPrintable(QString::fromWCharArray(odd)));
    }
  }

  void PairsTheJournalsFound_data() {
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("pairs");
    QTest::newRow("one profile")
        << QStringList{"2024.05.01 Bank.txt", "2024.05.01 Bank - errors.txt"}
        << QStringList{"Bank"};
    QTest::newRow("a name with a dot")
        << QStringList{"2024.05.01 A.B.txt", "2024.05.01 A.B - errors.txt"}
        << QStringList{"A.B"};
    QTest::newRow("a journal 1 beside Банк 1")
        << QStringList{"2024.05.01 1.txt", "2024.05.01 1 - errors.txt", "2024.05.01 Банк 1.txt",
                       "2024.05.01 Банк 1 - errors.txt"}
        << QStringList{"1", "Банк 1"};
    QTest::newRow("rotated parts add no name")
        << QStringList{"2024.05.01 Bank.txt", "2024.05.01.01 Bank.txt",
                       "2024.05.01 Bank - errors.txt", "2024.05.01.01 Bank - errors.txt"}
        << QStringList{"Bank"};
    QTest::newRow("a profile with one journal") << QStringList{"2024.05.01 Bank.txt"}
                                                << QStringList{};
  }
  void PairsTheJournalsFound() {
    QFETCH(QStringList, files);
    QFETCH(QStringList, pairs);
    QStringList found;
    for (const JournalPair& pair : JournalPairs(JournalNames(Names(files)))) {
      found.append(QString::fromStdWString(pair.name.str()));
      QCOMPARE(pair.errorsName, pair.name + L" - errors");
    }
    QCOMPARE(found, pairs);
  }

  void SplitsTheCommandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("pieces");
    QTest::newRow("folder and profile") << QStringList{"'/j'", "'P'"} << QStringList{"/j", "P"};
    QTest::newRow("one quoted text") << QStringList{"'/j' 'P' 'Q'"}
                                     << QStringList{"/j", "P", "Q"};
    QTest::newRow("folder only") << QStringList{"'/j'"} << QStringList{"/j"};
    QTest::newRow("nothing") << QStringList{} << QStringList{""};
  }
  void SplitsTheCommandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, pieces);
    QCOMPARE(Texts(SplitMonitorCommandLine(MonitorCommandLineText(Names(arguments)))), pieces);
  }

  // The order of the replacements decides what a ")" followed by ". " keeps.
  void BreaksDetailsIntoLines() {
    QCOMPARE(DetailsText("a | b (x) c (y), d (z). e", 0), QString("a\r\nb (x)\r\nc (y)\r\nd (z)\r\ne"));
    QCOMPARE(DetailsText("a | b. c (y), d (z). e", 1), QString("a\r\nb.\r\nc (y)\r\nd (z).\r\ne"));
  }

  // "Monitor timeout" times 1000 must not wrap to a short wait.
  // The alarm asks for the start-up sound, then the theme's nearest, and
  // rings the bell only when no sound can be played.
  void AlarmFallsBackToTheBell_data() {
    QTest::addColumn<QStringList>("playable");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<int>("bells");
    QTest::newRow("start-up sound") << QStringList{"desktop-login", "service-login"}
                                    << QStringList{"desktop-login"} << 0;
    QTest::newRow("theme without it") << QStringList{"service-login"}
                                      << QStringList{"desktop-login", "service-login"} << 0;
    QTest::newRow("no sound at all") << QStringList{}
                                     << QStringList{"desktop-login", "service-login"} << 1;
  }
  void AlarmFallsBackToTheBell() {
    QFETCH(QStringList, playable);
    QFETCH(QStringList, asked);
    QFETCH(int, bells);
    QStringList tried;
    int rung = 0;
    PlayFirstAlarmSound(
        [&](const char* sound) {
          tried.append(QString::fromLatin1(sound));
          return playable.contains(QString::fromLatin1(sound)) ? 0 : -9;
        },
        [&] { ++rung; });
    QCOMPARE(tried, asked);
    QCOMPARE(rung, bells);
  }

  void KeepsLongIntervals() {
    QCOMPARE(PassIntervalMilliseconds(0), 0u);
    QCOMPARE(PassIntervalMilliseconds(-5), 0u);
    QCOMPARE(PassIntervalMilliseconds(5), 5000u);
    QCOMPARE(PassIntervalMilliseconds(4294968), 4294967294u);
    QCOMPARE(PassIntervalMilliseconds(0x7FFFFFFF), 4294967294u);
  }
};

QTEST_GUILESS_MAIN(MonitorJournalTest)
#include "monitor_journal_test.moc"
