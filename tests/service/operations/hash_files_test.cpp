// HASH as the worker calls it: the hash file's seven lines, its conflicts
// at creation and at the move of the input, and failures.

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "service/core/staged_outputs.h"
#include "service/operations/hash_files.h"
#include "tests/service/operations/crypto_operation_fixture.h"
#include "tests/support/crash_child.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/shm_folder.h"

namespace {

using namespace cryptoops;
using namespace testsupport;

const std::string kHeading = "\xD5\xFD\xF8\x20\xF4\xE0\xE9\xEB\xE0\x2E\x20\xD4\xEE\xF0\xEC\xE0\xF2\x20\xB9";

class HashFilesTest : public CryptoOperationTest {
 protected:
  DWORD Hash(const std::vector<std::string>& names) {
    ProfileRecord copy(profile_);
    return HashFiles(Call(Names(names), copy), L"hsh");
  }

  // The conflict mark of a name stem~mark.rest, or "".
  static std::string Mark(const std::string& name, const std::string& stem, const std::string& rest) {
    std::smatch match;
    const std::regex pattern(std::regex_replace(stem, std::regex("\\."), "\\.") + "(~[0-9a-f]{1,8})" +
                             std::regex_replace(rest, std::regex("\\."), "\\."));
    return std::regex_match(name, match, pattern) ? match[1].str() : "";
  }
};

TEST(HashFileText, RendersTheDigestThreeWaysUnderFixedHeadings) {
  BYTE digest[32];
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<BYTE>(i);
  std::string inOrder, swapped, reversed;
  const char* hex = "0123456789ABCDEF";
  for (int i = 0; i < 32; ++i) {
    inOrder += {hex[i >> 4], hex[i & 15]};
    swapped += {hex[i & 15], hex[i >> 4]};
    reversed += {hex[(31 - i) >> 4], hex[(31 - i) & 15]};
  }
  ASSERT_EQ(inOrder.substr(0, 8), "00010203");
  ASSERT_EQ(swapped.substr(58), "D1E1F1");
  EXPECT_EQ(HashFileText("/out/a.txt.hsh", digest, 32),
            "/out/a.txt.hsh\n" + kHeading + "1\n" + inOrder + "\n" + kHeading + "2\n" + swapped + "\n" + kHeading +
                "3\n" + reversed + "\n");
  EXPECT_EQ(swapped.substr(0, 8), "00102030");
  EXPECT_EQ(reversed.substr(0, 6), "1F1E1D");
}

TEST_F(HashFilesTest, WritesTheHashFileAndMovesTheInputBesideIt) {
  const std::string data = Bytes(100000);
  Put("a.txt", data);
  ASSERT_EQ(Hash({"a.txt"}), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.hsh"}));
  EXPECT_EQ(Read(out_ / "a.txt"), data);

  std::string digest;
  ASSERT_EQ(testsupport::RunOpenssl({"dgst", "-md_gost12_256", "-r", (out_ / "a.txt").string()}, &digest), 0);
  digest = digest.substr(0, 64);
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string text = Read(out_ / "a.txt.hsh");
  EXPECT_EQ(text.substr(0, text.find('\n')), (out_ / "a.txt.hsh").string());
  EXPECT_NE(text.find("\n" + kHeading + "1\n" + digest + "\n" + kHeading + "2\n"), std::string::npos) << text;
  EXPECT_EQ(text.size(), (out_ / "a.txt.hsh").string().size() + 1 + 3 * (kHeading.size() + 2 + 65));
  EXPECT_EQ(text.find('\r'), std::string::npos);

  EXPECT_EQ(RecordWith("Вычисление хэша"),
            "14:05:09 09/12/2026 | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | "
            "Вычисление хэша файла " + (in_ / "a.txt").string() + " (размер: 100000) и запись в файл " +
                (out_ / "a.txt.hsh").string() + " (размер: " + std::to_string(text.size()) + ")");
  EXPECT_EQ(Errors(), "");
}

TEST_F(HashFilesTest, ConflictsAreMetAtCreationAndAtTheMove) {
  struct Case {
    std::string name;
    bool hashTaken;
    bool inputTaken;
    int rename;
    std::string code;    // empty: hashed
  };
  const Case cases[] = {
      {"h0.txt", true, false, 0, "0x50"},
      {"h1.txt", true, false, 1, ""},   // renamed although the input's own name was free
      {"i0.txt", false, true, 0, "0xB7"},
      {"i1.txt", false, true, 1, ""},
      {"a.b.c", true, true, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(out_);
    fs::remove_all(err_);
    fs::create_directories(out_);
    fs::create_directories(err_);
    profile_.renameConfFiles = c.rename;
    const std::string stem = c.name.substr(0, c.name.find('.'));
    const std::string rest = c.name.substr(c.name.find('.'));
    if (c.hashTaken) WriteBytes(out_ / (c.name + ".hsh"), "theirs");
    if (c.inputTaken) WriteBytes(out_ / c.name, "theirs too");
    Put(c.name, "data");
    ASSERT_EQ(Hash({c.name}), 0u);
    if (c.hashTaken) {
      EXPECT_EQ(Read(out_ / (c.name + ".hsh")), "theirs");
    }
    if (c.inputTaken) {
      EXPECT_EQ(Read(out_ / c.name), "theirs too");
    }
    std::vector<std::string> ours;
    for (const std::string& n : Listing(out_)) {
      if (!(c.hashTaken && n == c.name + ".hsh") && !(c.inputTaken && n == c.name)) ours.push_back(n);
    }
    if (!c.code.empty()) {
      EXPECT_EQ(ours, std::vector<std::string>{});  // a written hash file is deleted again
      EXPECT_EQ(Read(err_ / c.name), "data");
      EXPECT_TRUE(Contains(Errors(), "Ошибка " + c.code + " - ")) << Errors();
      // The text made before the claim is the message of every failure
      // record: the size of the claimed name then, "0".
      EXPECT_TRUE(Contains(Operations(), "Вычисление хэша файла " + (in_ / c.name).string() +
                                             " (размер: 0) и запись в файл " + (out_ / (c.name + ".hsh")).string() +
                                             " (размер: 0). Файл перемещен"))
          << Operations();
      continue;
    }
    ASSERT_EQ(ours.size(), 2u);
    const std::string mark = Mark(ours[0], stem, rest);
    EXPECT_FALSE(mark.empty()) << ours[0];
    EXPECT_EQ(ours[1], stem + mark + rest + ".hsh");
    EXPECT_EQ(Read(out_ / ours[0]), "data");
    // The first line names the hash file as it was created.
    const std::string created = c.hashTaken ? ours[1] : c.name + ".hsh";
    const std::string text = Read(out_ / ours[1]);
    EXPECT_EQ(text.substr(0, text.find('\n')), (out_ / created).string());
    EXPECT_EQ(Listing(err_), std::vector<std::string>{});
  }
}

// A kill while the hash file is written leaves no hash file, whole or
// partial, under its name; the next runs take the claim back, remove the
// temporary file and hash the input.
TEST_F(HashFilesTest, AKillWhileTheHashFileIsWrittenLeavesNoHashFile) {
  Put("a.txt", "data");
  ASSERT_EQ(testsupport::RunKilledMidWrite(100, [&] { Hash({"a.txt"}); }), SIGKILL);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{"a.txt.stp"});
  for (const std::string& name : Listing(out_)) EXPECT_TRUE(IsStagedOutputName(Wide(name))) << name;
  EXPECT_FALSE(Listing(out_).empty());

  ASSERT_EQ(Hash(Listing(in_)), 0u);
  ASSERT_EQ(Hash(Listing(in_)), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.hsh"}));
  const std::string text = Read(out_ / "a.txt.hsh");
  EXPECT_EQ(text.substr(0, text.find('\n')), (out_ / "a.txt.hsh").string());
}

// The input moved to another file system is copied under a temporary
// name: when the copy fails (a file larger than the disk takes), the record
// carries the copy's own error, and neither the hash file nor the copy stays.
TEST_F(HashFilesTest, AMoveAcrossFileSystemsThatFailsRecordsTheFailingCallsError) {
  testsupport::ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root_.path())) GTEST_SKIP() << "no second file system on this machine";
  out_ = shm.path();
  profile_.rules[0].pathOut = Wide(out_.string());
  Put("big.bin", Bytes(1 << 20));
  ASSERT_EQ(testsupport::WithFileSizeLimit(64 * 1024, [&] { return Hash({"big.bin"}); }), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(fs::file_size(err_ / "big.bin"), 1u << 20);
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0xDF - ")) << Errors();
}

TEST_F(HashFilesTest, LibraryFailureLeavesNothingInTheOutputFolder) {
  Put("a.txt", "data");
  FailingCall fail("ORLAX_StrHashFile=0xE0700055");
  ASSERT_EQ(Hash({"a.txt"}), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Read(err_ / "a.txt"), "data");
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE0700055 - ")) << Errors();
  EXPECT_TRUE(Contains(Errors(), "Правило 1 ('Проба'). \r\nORLAX стек, ошибка номер 1 \r\n")) << Errors();
}

}  // namespace
