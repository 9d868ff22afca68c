// The Base64 codec on files: RFC 4648 vectors, line breaking, the decoder's
// codes, armour, chunk boundaries, and texts other programs write and read.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/cstring.h"
#include "platform/files.h"
#include "platform/errors.h"
#include "service/operations/base64_codec.h"
#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace fs = std::filesystem;

namespace {

class Base64Codec : public ::testing::Test {
 protected:
  struct Coded {
    DWORD result;
    std::string bytes;
  };

  // Codes text through files; the target is a fresh name each time.
  Coded Run(const std::string& input, int encode) {
    const fs::path source = root_.WriteFile("in" + std::to_string(++count_), input);
    const fs::path target = root_.path() / ("out" + std::to_string(count_));
    DWORD result = Base64File(CStringA(source.c_str()), CStringA(target.c_str()), encode);
    return {result, testsupport::ReadFileBytes(target)};
  }
  Coded Encode(const std::string& input) { return Run(input, 1); }
  Coded Decode(const std::string& input) { return Run(input, 0); }

  static std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(generator() & 0xFF);
    return bytes;
  }

  testsupport::TempRoot root_;
  int count_ = 0;
};

TEST_F(Base64Codec, EncodesRfcVectorsAndBreaksLinesAfter76Characters) {
  const std::string line57(57, 'x');
  struct Case {
    std::string input;
    std::string text;
  };
  std::string full76, groups18;
  for (int i = 0; i < 19; ++i) full76 += "eHh4";
  for (int i = 0; i < 18; ++i) groups18 += "eHh4";
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // A part last group that ends a line: its pads, then the line end.
      {std::string(55, 'x'), groups18 + "eA==\n"},
      {std::string(56, 'x'), groups18 + "eHg=\n"},
      {line57, full76 + "\n"},
      {line57 + "x", full76 + "\neA=="},
      {line57 + "xx", full76 + "\neHg="},
      {line57 + line57, full76 + "\n" + full76 + "\n"},
      {std::string("\0\xff\xfe", 3), "AP/+"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Coded coded = Encode(c.input);
    EXPECT_EQ(coded.result, 0u);
    EXPECT_EQ(coded.bytes, c.text);
  }
}

TEST_F(Base64Codec, DecodesOrFailsWithItsCodes) {
  struct Case {
    std::string text;
    DWORD result;
    std::string bytes;  // what the target holds afterwards
  };
  const Case cases[] = {
      {"", 0, ""},
      {"Zm9vYmFy", 0, "foobar"},
      {"Zm9v\nYmFy\n", 0, "foobar"},
      {"Zm9v\r\nYmFy\r\n", 0, "foobar"},
      {"Zm9v\n\n\nYmFy", 0, "foobar"},                // two empty LF lines pass
      {"Zm9v\r\n\r\nYmFy", B64_CONTROL_RUN, ""},      // one empty CR LF line does not
      {"Zm9v\n\n\n\nYmFy", B64_CONTROL_RUN, ""},
      {"Zm9v YmFy", B64_INVALID_CHARACTER, ""},
      {"Zm9v\x80YmFy", B64_INVALID_CHARACTER, ""},
      {"Zm9v_mFy", B64_INVALID_CHARACTER, ""},
      // A single "-" between whole groups of unarmoured text is passed over,
      // and the data goes on in a fresh group after it; the next "-" is
      // taken for a footer.
      {"QUJD-QUJD", 0, "ABCABC"},
      {"Zm9v-YmFy", 0, "foobar"},
      {"Zm9v\n-\nYmFy\n", 0, "foobar"},
      {"Zm9v-", 0, "foo"},
      // Inside a group it ends the data: what follows would be decoded
      // shifted, so data after it is a bad character; only a footer (or the
      // end) may follow, the part group's bytes being the data's last.
      {"QU-JDQUJD", B64_INVALID_CHARACTER, "A"},
      {"QUJ-QUJD", B64_INVALID_CHARACTER, "AB"},
      {"QUJ-\nQ", B64_INVALID_CHARACTER, "AB"},
      {"QUI-", 0, "AB"},
      {"QUI\n-----END X-----\n", 0, "AB"},
      {"Zm9v-YmFy-Zm9v", B64_ARMOR_WORD_MISSING, "foo"},
      {"Zm9v-YmFy-----END X-----", 0, "foobar"},       // the data before a footer is kept
      {"QUI", 0, "AB"},                                // missing pads are accepted
      {"QUJD=", 0, "ABC"},
      {"QUJDRA", 0, "ABCD"},
      {"Q", 0, ""},                                    // a lone character gives nothing
      {"QUJD===", B64_TOO_MANY_PADS, ""},
      {"QQ==QQ", B64_DATA_AFTER_PAD, ""},
      {"QQ==\x80", B64_DATA_AFTER_PAD, ""},
      {"-----BEGIN DATA-----\nZm9vYmFy\n-----END DATA-----", 0, "foobar"},
      {"-----BEGIN DATA-----\r\nZm9v\r\nYmFy\r\n-----END DATA-----\r\n", 0, "foobar"},
      {"-----BEGIN-----\nZm9v\n--END--\n\n\n\n\n", 0, "foo"},
      {"--BEGIN X 1--Zm9v--END", 0, "foo"},
      {"-----BEGN DATA-----\nZm9v\n", B64_ARMOR_WORD_MISSING, ""},
      {"-", B64_ARMOR_WORD_MISSING, ""},
      {"-----BEGIN DATA-----\nZm9v\n-----EDN DATA-----", B64_ARMOR_WORD_MISSING, "foo"},
      {"-----BEGIN DATA-----\nZm9v\n-----END DATA-----\nx", B64_TEXT_AFTER_FOOTER, "foo"},
      // A lower-case label ends the label: "data" is taken as data, and the
      // dashes after it open a footer without "END".
      {"-----BEGIN data-----\nZm9v\n-----END data-----", B64_ARMOR_WORD_MISSING, "u\xab\x5a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Coded coded = Decode(c.text);
    EXPECT_EQ(coded.result, c.result);
    EXPECT_EQ(coded.bytes, c.bytes);
  }
}

TEST_F(Base64Codec, DecodesLongTextsAsOneChunkWouldAcrossChunkEnds) {
  const std::string bytes = RandomBytes(100000, 1);
  Coded text = Encode(bytes);
  ASSERT_EQ(text.result, 0u);
  ASSERT_GT(text.bytes.size(), 90000u);
  EXPECT_EQ(Decode(text.bytes).bytes, bytes);

  // Without line breaks a group ends exactly past index 29980, and with CR
  // LF ones somewhere else: both read on right after it.
  std::string joined;
  std::string crlf;
  for (char ch : text.bytes) {
    if (ch == '\n') {
      crlf += "\r\n";
    } else {
      joined += ch;
      crlf += ch;
    }
  }
  EXPECT_EQ(Decode(joined).bytes, bytes);
  EXPECT_EQ(Decode(crlf).bytes, bytes);

  // A second pass over the first chunk's end must not lose or repeat a pad
  // or a group when the text ends with a short group right there.
  const std::string edge = joined.substr(0, 29984) + "QQ==";
  Coded decoded = Decode(edge);
  EXPECT_EQ(decoded.result, 0u);
  EXPECT_EQ(decoded.bytes, bytes.substr(0, 29984 / 4 * 3) + "A");
}

// A "-" inside a group of a long text never shifts what follows: the text
// fails as bad, and nothing after the "-" is written.
TEST_F(Base64Codec, DashInsideAGroupOfALongTextFailsWithoutShiftedBytes) {
  const std::string bytes = RandomBytes(30000, 3);
  std::string text;
  for (char ch : Encode(bytes).bytes) {
    if (ch != '\n') text += ch;
  }
  ASSERT_EQ(text.size(), 40000u);
  for (const std::size_t at : {std::size_t{102}, std::size_t{29982}, std::size_t{35001}}) {
    SCOPED_TRACE(at);
    Coded decoded = Decode(text.substr(0, at) + "-" + text.substr(at));
    EXPECT_EQ(decoded.result, B64_INVALID_CHARACTER);
    EXPECT_EQ(decoded.bytes, bytes.substr(0, at * 3 / 4)) << "only the bytes before the dash";
  }
}

TEST_F(Base64Codec, FooterEndsTheReadingAndTextPastTheChunkIsNeverRead) {
  // The footer check sees the rest of its chunk only; what lies beyond is
  // never read.
  std::string text = "Zm9v\n-----END X-----" + std::string(30000, '\n') + "garbage";
  Coded decoded = Decode(text);
  EXPECT_EQ(decoded.result, 0u);
  EXPECT_EQ(decoded.bytes, "foo");

  // A footer right after the group that ended the first chunk: its first
  // "-" ends the second chunk at once, and the check starts the third.
  const std::string bytes = RandomBytes(22488, 2);
  std::string plain;
  for (char ch : Encode(bytes).bytes) {
    if (ch != '\n') plain += ch;
  }
  ASSERT_EQ(plain.size(), 29984u);
  decoded = Decode(plain + "-----END X-----\n");
  EXPECT_EQ(decoded.result, 0u);
  EXPECT_TRUE(decoded.bytes == bytes);
}

TEST_F(Base64Codec, ShortReadFailsInsteadOfCodingZeros) {
  const fs::path source = root_.WriteFile("short", "abc");
  const fs::path target = root_.path() / "short.b64";
  HANDLE in = CreateFileW(CString(source.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileW(CString(target.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  std::string input(kBase64ChunkSize, '\0');
  std::string output(kBase64EncodedChunkSize, '\0');
  auto* inBuffer = reinterpret_cast<BYTE*>(input.data());
  auto* outBuffer = reinterpret_cast<BYTE*>(output.data());
  EXPECT_EQ(Base64EncodeStream(in, out, 6, inBuffer, outBuffer), ERROR_HANDLE_EOF);
  LARGE_INTEGER start{};
  ASSERT_TRUE(SetFilePointerEx(in, start, nullptr, FILE_BEGIN));
  EXPECT_EQ(Base64DecodeStream(in, out, 6, inBuffer, outBuffer), ERROR_HANDLE_EOF);
  CloseHandle(in);
  CloseHandle(out);
  EXPECT_EQ(testsupport::ReadFileBytes(target), "");
}

TEST_F(Base64Codec, NeverReplacesTheTargetAndReportsMissingSource) {
  const fs::path source = root_.WriteFile("data", "foo");
  const fs::path taken = root_.WriteFile("taken", "mine");
  bool created = true;
  EXPECT_EQ(Base64File(CStringA(source.c_str()), CStringA(taken.c_str()), 1, &created), ERROR_FILE_EXISTS);
  EXPECT_FALSE(created);
  EXPECT_EQ(testsupport::ReadFileBytes(taken), "mine");
  const fs::path missing = root_.path() / "missing";
  EXPECT_EQ(Base64File(CStringA(missing.c_str()), CStringA((root_.path() / "x").c_str()), 0, &created),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(root_.path() / "x"));
}

TEST_F(Base64Codec, OtherProgramsReadWhatItWritesAndItReadsWhatTheyWrite) {
  const std::string bytes = RandomBytes(70000, 3);
  const fs::path data = root_.WriteFile("data.bin", bytes);
  const fs::path encoded = root_.path() / "data.b64";
  ASSERT_EQ(Base64File(CStringA(data.c_str()), CStringA(encoded.c_str()), 1), 0u);
  testsupport::ProgramResult coreutils = testsupport::RunProgram("/usr/bin/base64", {"-d", encoded.string()});
  EXPECT_EQ(coreutils.exitCode, 0);
  EXPECT_TRUE(coreutils.output == bytes) << "base64 -d gave " << coreutils.output.size() << " bytes";

  testsupport::ProgramResult wrapped = testsupport::RunProgram("/usr/bin/base64", {data.string()});
  ASSERT_EQ(wrapped.exitCode, 0);
  EXPECT_TRUE(Decode(wrapped.output).bytes == bytes);

  const fs::path opensslText = root_.path() / "openssl.b64";
  testsupport::ProgramResult openssl =
      testsupport::RunProgram("/usr/bin/openssl", {"base64", "-in", data.string(), "-out", opensslText.string()});
  ASSERT_EQ(openssl.exitCode, 0) << openssl.output;
  EXPECT_TRUE(Decode(testsupport::ReadFileBytes(opensslText)).bytes == bytes);

  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  Coded certificate = Decode(testsupport::ReadFileBytes(pki.local / "user1.pem"));
  EXPECT_EQ(certificate.result, 0u);
  EXPECT_TRUE(certificate.bytes == testsupport::ReadFileBytes(pki.dir / "der" / "user1.cer"));
}

}  // namespace
