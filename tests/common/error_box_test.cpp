#include "common/error_box.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/error_description.h"
#include "common/registry_values.h"
#include "common/report_text.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

// Stands in for the programs' message boxes: records what would be shown.
class RecordingPresenter : public ErrorBoxPresenter {
 public:
  struct Box {
    HWND owner;
    CString text;
    bool systemModal;
  };
  void ShowErrorBox(HWND owner, const CString& text, bool systemModal,
                    const std::atomic<int>* /*stop*/) override {
    boxes.push_back({owner, text, systemModal});
  }
  std::vector<Box> boxes;
};

class ErrorBoxTest : public ::testing::Test {
 protected:
  testsupport::TempRoot root_;
  RecordingPresenter presenter_;
  const HWND window_ = reinterpret_cast<HWND>(0x1001);
  const ErrorBoxOwner owner_{.presenter = &presenter_, .window = window_};
  const ErrorBoxOwner unowned_{.presenter = &presenter_};
};

TEST(ReportTextTest, CodeTextsLabelLibraryAndOwnCodesWithOrlax) {
  struct Case {
    DWORD code;
    const wchar_t* label;
  } cases[] = {
      {0xE0700046, L"Ошибка ORLAX 0xE0700046"}, {0xE1718001, L"Ошибка ORLAX 0xE1718001"},
      {0x20000000, L"Ошибка ORLAX 0x20000000"}, {0xFFFFFFFE, L"Ошибка ORLAX 0xFFFFFFFE"},
      {0xFFFFFFFF, L"Ошибка 0xFFFFFFFF"},       {0, L"Ошибка 0x0"},
      {5, L"Ошибка 0x5"},                        {0x40018, L"Ошибка 0x40018"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ResultCodeText(c.code), CString(c.label));
    EXPECT_EQ(PlainCodeText(c.code).Left(9), CString(L"Ошибка 0x"));
  }
}

TEST(ReportTextTest, MessageFillsOnlyItsPercentS) {
  EXPECT_EQ(FormatReportMessage(L"Открытие файла %s", L"/in/100%d%s.txt"),
            CString(L"Открытие файла /in/100%d%s.txt"));
  EXPECT_EQ(FormatReportMessage(L"'%s' для '%s' и %s", L"a"), CString(L"'a' для '' и "));
  EXPECT_EQ(FormatReportMessage(L"Без аргумента", L"лишний"), CString(L"Без аргумента"));
  EXPECT_EQ(FormatReportMessage(L"%s-%s-%s-%s-%s", L"1", L"2", L"3", L"4"),
            CString(L"1-2-3-4-"));
}

TEST_F(ErrorBoxTest, ReportErrorBoxComposesShowsAndHandsTheTextBack) {
  const CString described5 = ErrorDescription(5, nullptr);
  const CString report = L"Запись в реестр числового значения 'Log filesize'.\r\nОшибка 0x5 - " +
                         described5 + L".";

  // flags 0: nothing at all.
  CString text(L"untouched");
  EXPECT_EQ(ReportErrorBox(owner_, nullptr, 0, 5, "Запись в реестр числового значения '%s'", &text,
                           "Log filesize"),
            5u);
  EXPECT_EQ(text, CString(L"untouched"));
  EXPECT_TRUE(presenter_.boxes.empty());

  // flags 2: composed and handed back, not shown.
  text = L"";
  EXPECT_EQ(ReportErrorBox(owner_, nullptr, 2, 5, "Запись в реестр числового значения '%s'", &text,
                           "Log filesize"),
            5u);
  EXPECT_EQ(text, report);
  EXPECT_TRUE(presenter_.boxes.empty());

  // flags 3 with an extra sentence: it follows the final "." directly in the
  // box and is not part of the text handed back.
  text = L"Выбран некорректный путь журнала.";
  ReportErrorBox(owner_, nullptr, 3, 5, "Запись в реестр числового значения '%s'", &text,
                 "Log filesize");
  ASSERT_EQ(presenter_.boxes.size(), 1u);
  EXPECT_EQ(presenter_.boxes[0].text, report + L"Выбран некорректный путь журнала.");
  EXPECT_EQ(presenter_.boxes[0].owner, window_);
  EXPECT_FALSE(presenter_.boxes[0].systemModal);
  EXPECT_EQ(text, report);
}

TEST_F(ErrorBoxTest, ReportErrorBoxLabelsAndDescribesEveryKindOfCode) {
  struct Case {
    DWORD code;
    CString expected;
  } cases[] = {
      {0xFFFFFFFF, L"Создание файла /x.\r\nОшибка 0xFFFFFFFF - Неправильный параметр."},
      {0, L"Создание файла /x.\r\nОшибка 0x0 - Успешное выполнение."},
      {0xE0700046, L"Создание файла /x.\r\nОшибка ORLAX 0xE0700046 - " +
                       ErrorDescription(0xE0700046, nullptr) + L"."},
  };
  for (const Case& c : cases) {
    CString text;
    ReportErrorBox(unowned_, nullptr, kErrorBoxShow, c.code, "Создание файла %s", &text, "/x");
    EXPECT_EQ(text, c.expected);
  }
  ASSERT_EQ(presenter_.boxes.size(), 3u);
  EXPECT_EQ(presenter_.boxes[0].owner, nullptr);
}

TEST_F(ErrorBoxTest, ReportErrorComposesTheMonitorsText) {
  EXPECT_EQ(ReportError(owner_, 0, 2, "Открытие файла %s", L"", L"Выбран некорректный путь журнала.",
                        L"/журналы", L"", L"", L""),
            2u);
  EXPECT_EQ(ReportError(unowned_, kErrorBoxSystemModal, 0xE0700046, "Чтение '%s' и '%s'",
                        L"своё описание", nullptr, L"один", L"два", nullptr, nullptr),
            0xE0700046u);
  ASSERT_EQ(presenter_.boxes.size(), 2u);
  EXPECT_EQ(presenter_.boxes[0].text,
            L"Открытие файла /журналы.\r\nОшибка 0x2 - " + monitor::ErrorDescription(2) +
                L".\r\nВыбран некорректный путь журнала.");
  EXPECT_EQ(presenter_.boxes[0].owner, window_);
  EXPECT_FALSE(presenter_.boxes[0].systemModal);
  // The monitor labels every code "Ошибка 0x%X", library codes too.
  EXPECT_EQ(presenter_.boxes[1].text,
            CString(L"Чтение 'один' и 'два'.\r\nОшибка 0xE0700046 - своё описание.\r\n"));
  EXPECT_TRUE(presenter_.boxes[1].systemModal);
}

TEST_F(ErrorBoxTest, MonitorRegistryFormsReportThroughItsBox) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\TORVAK\\qelmservicemonitor", 0, nullptr, 0,
                            KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::string qword(8, '\0');
  ASSERT_EQ(RegSetValueExW(key, L"Monitor timeout", 0, REG_QWORD,
                           reinterpret_cast<const BYTE*>(qword.data()), 8),
            ERROR_SUCCESS);
  const std::string longText = platform::WideToUtf16Le(std::wstring(600, L'ж'));
  ASSERT_EQ(RegSetValueExW(key, L"LogPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(longText.data()),
                           static_cast<DWORD>(longText.size())),
            ERROR_SUCCESS);

  int timeout = 5;
  EXPECT_EQ(monitor::ReadDwordValue(key, "Monitor timeout", timeout, owner_, 5), 0);
  EXPECT_EQ(timeout, 5);
  CString path(L"kept");
  EXPECT_EQ(monitor::ReadLogPathValue(key, path, unowned_), 0);
  EXPECT_EQ(path, CString(L"kept"));

  ASSERT_EQ(presenter_.boxes.size(), 2u);
  EXPECT_EQ(presenter_.boxes[0].text,
            L"Чтение из реестра числового значения 'Monitor timeout'.\r\nОшибка 0xEA - " +
                monitor::ErrorDescription(234) + L".\r\n");
  EXPECT_EQ(presenter_.boxes[0].owner, window_);
  EXPECT_FALSE(presenter_.boxes[0].systemModal);
  EXPECT_EQ(presenter_.boxes[1].text.Left(48),
            CString(L"Чтение из реестра строкового значения 'LogPath'."));
  EXPECT_EQ(presenter_.boxes[1].owner, nullptr);
  EXPECT_TRUE(presenter_.boxes[1].systemModal);

  // Written and read back without a report.
  ASSERT_EQ(monitor::WriteDwordValue(key, "Window_top", 120, owner_), 1);
  ASSERT_EQ(monitor::WriteStringValue(key, "first_oper", L"12:00:01 10/12/2026", owner_), 1);
  int top = 0;
  CString mark;
  ASSERT_EQ(monitor::ReadDwordValue(key, "Window_top", top, owner_, 0), 1);
  ASSERT_EQ(monitor::ReadStringValue(key, "first_oper", mark, owner_, ""), 1);
  EXPECT_EQ(top, 120);
  EXPECT_EQ(mark, CString(L"12:00:01 10/12/2026"));
  EXPECT_EQ(presenter_.boxes.size(), 2u);
  RegCloseKey(key);
}

TEST_F(ErrorBoxTest, ConfigurationProgramsRegistryFailuresShowItsBox) {
  RegistryValues registry(ConfigRegistryReporter(&presenter_));
  ASSERT_EQ(registry.Key().Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice"),
            ERROR_SUCCESS);
  const std::string number(4, '\0');
  ASSERT_EQ(RegSetValueExW(registry.Key().Handle(), L"ExtExt", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(number.data()), 4),
            ERROR_SUCCESS);
  CStringArray ext;
  EXPECT_EQ(registry.ReadStringArray("ExtExt", ext, window_), 0);  // lists report with flags 3: shown
  ASSERT_EQ(presenter_.boxes.size(), 1u);
  EXPECT_EQ(presenter_.boxes[0].text,
            L"Чтение из реестра мультистрокового значения 'ExtExt'.\r\nОшибка 0xD - " +
                ErrorDescription(13, nullptr) + L".");
  EXPECT_EQ(presenter_.boxes[0].owner, window_);

  registry.Key().Close();
  int value = 0;
  EXPECT_EQ(registry.ReadDwordValue("Log filesize", value, window_, 2, 4000), 0);  // bit 0 clear: not shown
  EXPECT_EQ(presenter_.boxes.size(), 1u);
}

}  // namespace
