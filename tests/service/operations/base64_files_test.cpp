// B64E and B64D as the worker calls them: output names and the walk of the
// extra extensions, conflicts, and what a failing decode leaves behind.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "service/operations/operations.h"
#include "tests/support/one_rule_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace testsupport;

class Base64Files : public OneRuleTest {
 protected:
  DWORD Encode(const std::vector<std::string>& names) {
    return EncodeFilesBase64(Call(Names(names)), L"b64");
  }
  DWORD Decode(const std::vector<std::string>& names, const std::vector<std::string>& extExt = {}) {
    CStringArray extra = Names(extExt);
    return DecodeFilesBase64(Call(Names(names)), {.b64Ext = L"b64", .extExt = &extra});
  }
};

TEST_F(Base64Files, EncodesUnderTheNamePlusTheExtensionAndRecordsBothSizes) {
  Put(in_, "report.pdf", "foobar");
  Put(in_, "empty", "");
  ASSERT_EQ(Encode({"report.pdf", "empty"}), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "report.pdf.b64"), "Zm9vYmFy");
  EXPECT_TRUE(fs::exists(out_ / "empty.b64"));
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "empty.b64"), "");
  EXPECT_EQ(Operations(),
            Prefix() + "Профиль: P | Успех | Правило 1 ('Тест'). Кодирование в Base64 файла " +
                (in_ / "report.pdf").string() + " (размер: 6) в файл " + (out_ / "report.pdf.b64").string() +
                " (размер: 8)\r\n" + Prefix() + "Профиль: P | Успех | Правило 1 ('Тест'). Кодирование в Base64 файла " +
                (in_ / "empty").string() + " (размер: 0) в файл " + (out_ / "empty.b64").string() +
                " (размер: 0)\r\n");
  EXPECT_EQ(Errors(), "");
}

TEST_F(Base64Files, DecodedNamesLoseTheirOwnExtensionOrTheExtraOnesInListOrder) {
  struct Case {
    std::string name;
    std::vector<std::string> extExt;
    std::string output;
  };
  const Case cases[] = {
      {"report.pdf.b64", {}, "report.pdf"},
      {"data.B64", {}, "data.B64"},                  // letter case counts
      {"data.B64", {"B64"}, "data"},
      {"a.sig.txt", {"txt", "sig"}, "a"},
      {"a.sig.txt", {"sig", "txt"}, "a.sig"},        // each entry is tried once
      {"b.txt.b64", {"b64", "txt"}, "b.txt"},        // its own extension: the list is not read
      {"noext", {"txt"}, "noext"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(out_);
    fs::create_directory(out_);
    Put(in_, c.name, "Zm9v");
    ASSERT_EQ(Decode({c.name}, c.extExt), 0u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{c.output});
    EXPECT_EQ(testsupport::ReadFileBytes(out_ / c.output), "foo");
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  }
  EXPECT_EQ(Errors(), "");
}

TEST_F(Base64Files, TakenOutputFailsOrGetsAConflictFreeName) {
  Put(out_, "report.pdf.b64", "theirs");
  Put(out_, "report.pdf", "theirs");
  Put(in_, "report.pdf", "foo");
  Put(in_, "report.pdf.b64", "YmFy");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Encode({"report.pdf"}), 0u);
  ASSERT_EQ(Decode({"report.pdf.b64"}), 0u);
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"report.pdf", "report.pdf.b64"}));
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "report.pdf.b64"), "theirs");
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "report.pdf"), "theirs");
  EXPECT_NE(Errors().find("Правило 1 ('Тест'). Создание файла " + (out_ / "report.pdf.b64").string()),
            std::string::npos);
  // The file fails before its text is made again after the claim: the size
  // is that of the claimed name before the claim.
  EXPECT_NE(Operations().find("Кодирование в Base64 файла " + (in_ / "report.pdf").string() + " (размер: 0) в файл " +
                              (out_ / "report.pdf.b64").string() + " (размер: 0). Файл перемещен"),
            std::string::npos)
      << Operations();
  EXPECT_NE(Operations().find("Раскодирование из Base64 файла " + (in_ / "report.pdf.b64").string() +
                              " (размер: 0) в файл " + (out_ / "report.pdf").string() + " (размер: 0). Файл перемещен"),
            std::string::npos)
      << Operations();

  fs::rename(err_ / "report.pdf", in_ / "report.pdf");
  fs::rename(err_ / "report.pdf.b64", in_ / "report.pdf.b64");
  profile_.renameConfFiles = 1;
  ASSERT_EQ(Encode({"report.pdf"}), 0u);
  ASSERT_EQ(Decode({"report.pdf.b64"}), 0u);
  // The mark goes before the first "."; B64D appends nothing after it.
  std::string encoded, decoded;
  for (const std::string& name : Listing(out_)) {
    if (std::regex_match(name, std::regex("report~[0-9a-f]{1,8}\\.pdf"))) decoded = name;
    if (std::regex_match(name, std::regex("report~[0-9a-f]{1,8}\\.pdf\\.b64"))) encoded = name;
  }
  EXPECT_EQ(Listing(out_).size(), 4u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / decoded), "bar");
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / encoded), "Zm9v");
}

// A name that is only the extension leaves an empty output name: the
// output path is the output folder itself, which is taken. The file fails
// with 80, or its output gets a conflict name; nothing is named ".b64".
TEST_F(Base64Files, NameThatIsOnlyTheExtensionMeetsTheOutputFolderAsATakenName) {
  Put(in_, ".b64", "Zm9v");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Decode({".b64"}), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{".b64"});
  EXPECT_NE(Errors().find("Правило 1 ('Тест'). Создание файла " + out_.string() + "/\r\n"), std::string::npos)
      << Errors();

  fs::rename(err_ / ".b64", in_ / ".b64");
  profile_.renameConfFiles = 1;
  ASSERT_EQ(Decode({".b64"}), 0u);
  const std::vector<std::string> names = Listing(out_);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex("~[0-9a-f]{1,8}"))) << names[0];
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / names[0]), "foo");
  EXPECT_TRUE(fs::is_directory(out_));
}

TEST_F(Base64Files, FailedDecodeLeavesNoOutputAndRecordsTheReason) {
  struct Case {
    std::string name;
    std::string text;
    std::string code;
    std::string description;
  };
  const Case cases[] = {
      {"pads.b64", "Zm9vYmFy===", "FFFFFFFA", "Недопустимый формат Base64"},
      {"url.b64", "Zm9v-_mFy", "FFFFFFFE", "Недопустимый символ в Base64"},
      {"dash.b64", "QU-JDQUJD", "FFFFFFFE", "Недопустимый символ в Base64"},  // never 41 24 34 14 24
      {"footer.b64", "Zm9v\n-----END X-----\nmore", "FFFFFFFB", "Недопустимый формат Base64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(in_, c.name, c.text);
    ASSERT_EQ(Decode({c.name}), 0u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_EQ(testsupport::ReadFileBytes(err_ / c.name), c.text);
    const std::string errors = Errors();
    EXPECT_NE(errors.find(c.code + " - " + c.description + ". Правило 1 ('Тест'). \r\n"), std::string::npos)
        << errors;
  }
  EXPECT_NE(Operations().find("Раскодирование из Base64 файла " + (in_ / "pads.b64").string() +
                              " (размер: 11) в файл " + (out_ / "pads").string() +
                              " (размер: 0). Файл перемещен в каталог ошибок под именем " +
                              (err_ / "pads.b64").string() + "\r\n"),
            std::string::npos)
      << Operations();
}

}  // namespace
