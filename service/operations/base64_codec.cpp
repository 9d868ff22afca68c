#include "service/operations/base64_codec.h"

#include <array>
#include <memory>
#include <new>

#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineLength = 76;
// A group completed past this index ends its chunk, so that no group spans
// two chunks.
constexpr DWORD kLastGroupStart = 29980;
constexpr int kLongestControlRun = 3;

// The value of each byte in the alphabet, or kNotInAlphabet.
constexpr BYTE kNotInAlphabet = 0xFF;
constexpr std::array<BYTE, 256> MakeDecodeTable() {
  std::array<BYTE, 256> table{};
  for (BYTE& value : table) value = kNotInAlphabet;
  for (int i = 0; i < 64; ++i) table[static_cast<BYTE>(kAlphabet[i])] = static_cast<BYTE>(i);
  return table;
}
constexpr std::array<BYTE, 256> kDecodeTable = MakeDecodeTable();

DWORD LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return error != 0 ? error : fallback;
}

// Reads exactly count bytes; a source that ends early gives ERROR_HANDLE_EOF
// rather than coding bytes that were never there.
DWORD ReadChunk(HANDLE source, BYTE* buffer, DWORD count) {
  DWORD got = 0;
  if (!ReadFile(source, buffer, count, &got, nullptr)) return LastErrorOr(ERROR_READ_FAULT);
  return got == count ? 0 : ERROR_HANDLE_EOF;
}

DWORD WriteChunk(HANDLE target, const BYTE* buffer, DWORD count) {
  if (count == 0) return 0;
  DWORD written = 0;
  if (!WriteFile(target, buffer, count, &written, nullptr)) return LastErrorOr(ERROR_WRITE_FAULT);
  return 0;
}

// Skips, from at, every byte for which skip is true; returns the index reached.
template <typename Skip>
DWORD SkipWhile(const BYTE* bytes, DWORD count, DWORD at, Skip skip) {
  while (at < count && skip(bytes[at])) ++at;
  return at;
}

bool IsLabelByte(BYTE b) { return b == ' ' || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9'); }

// Steps shared by header and footer: dashes, blanks, the word, the label,
// dashes, then every byte of 0x20 or less. -1 when the word is missing.
LONG SkipArmorLine(const BYTE* bytes, DWORD count, const char* word, DWORD wordLength) {
  DWORD at = SkipWhile(bytes, count, 0, [](BYTE b) { return b == '-'; });
  at = SkipWhile(bytes, count, at, [](BYTE b) { return b == ' '; });
  if (count - at < wordLength) return -1;
  for (DWORD i = 0; i < wordLength; ++i) {
    if (bytes[at + i] != static_cast<BYTE>(word[i])) return -1;
  }
  at += wordLength;
  at = SkipWhile(bytes, count, at, IsLabelByte);
  at = SkipWhile(bytes, count, at, [](BYTE b) { return b == '-'; });
  at = SkipWhile(bytes, count, at, [](BYTE b) { return b <= 0x20; });
  return static_cast<LONG>(at);
}

// The decoder's state over the whole file.
struct DecodeState {
  int pads = 0;
  bool footer = false;  // a "-" was met: the next "-" opens the footer's check
  bool fileStart = true;
  // That "-" cut a group short: it may only open the footer of a text whose
  // last group has no pads. Data after it would be decoded shifted, so it is
  // a bad character there.
  bool groupCut = false;
};

// How one chunk ended.
struct ChunkEnd {
  DWORD result = 0;     // non-zero: decoding ends with it, the chunk's bytes unwritten
  bool finished = false;  // the footer was checked: nothing after it is read
  DWORD taken = 0;      // bytes of the chunk used; the rest is read again
  DWORD produced = 0;   // bytes completed in output
};

ChunkEnd DecodeChunk(const BYTE* input, DWORD count, BYTE* output, DecodeState& state) {
  ChunkEnd end;
  int position = 0;
  BYTE pending = 0;
  int controlRun = 0;
  DWORD k = 0;
  if (state.fileStart && count > 0 && input[0] == '-') {
    LONG next = SkipArmorHeader(input, count);
    if (next < 0) return {B64_ARMOR_WORD_MISSING, false, 0, 0};
    k = static_cast<DWORD>(next);
  }
  state.fileStart = false;
  for (; k < count; ++k) {
    // Whole groups of four alphabet characters, the bulk of any text, go
    // at once; everything else (line ends, pads, dashes, a group that may
    // end the chunk) byte by byte below.
    if (position == 0 && state.pads == 0 && !state.groupCut) {
      while (k + 3 < count && k + 3 <= kLastGroupStart) {
        const BYTE v0 = kDecodeTable[input[k]], v1 = kDecodeTable[input[k + 1]];
        const BYTE v2 = kDecodeTable[input[k + 2]], v3 = kDecodeTable[input[k + 3]];
        if (((v0 | v1 | v2 | v3) & 0xC0) != 0) break;
        output[end.produced] = static_cast<BYTE>((v0 << 2) | (v1 >> 4));
        output[end.produced + 1] = static_cast<BYTE>((v1 << 4) | (v2 >> 2));
        output[end.produced + 2] = static_cast<BYTE>((v2 << 6) | v3);
        end.produced += 3;
        controlRun = 0;
        k += 4;
      }
      if (k == count) break;
    }
    const BYTE b = input[k];
    if (b < 0x20) {
      if (++controlRun > kLongestControlRun) return {B64_CONTROL_RUN, false, 0, 0};
      continue;
    }
    controlRun = 0;
    if (b == '-') {
      // The second "-" after the data is the footer's: its check ends the
      // decoding, whatever it finds; nothing after it is read.
      // The bytes completed before it are the end of the data and are kept.
      if (state.footer) {
        const auto result = static_cast<DWORD>(CheckArmorFooter(input + k, count - k));
        return {result, true, count, result == 0 ? end.produced : 0};
      }
      // The first one ends the chunk: a footer's own dashes follow it, or,
      // in unarmoured text between whole groups, the data goes on in a fresh
      // group after it.
      state.footer = true;
      state.groupCut = position != 0;
      end.taken = k + 1;
      return end;
    }
    if (b == '=') {
      if (++state.pads > 2) return {B64_TOO_MANY_PADS, false, 0, 0};
      continue;
    }
    if (state.pads != 0) return {B64_DATA_AFTER_PAD, false, 0, 0};
    const BYTE v = kDecodeTable[b];
    if (v == kNotInAlphabet || state.groupCut) return {B64_INVALID_CHARACTER, false, 0, 0};
    switch (position) {
      case 0:
        pending = static_cast<BYTE>(v << 2);
        break;
      case 1:
        output[end.produced++] = static_cast<BYTE>(pending | (v >> 4));
        pending = static_cast<BYTE>(v << 4);
        break;
      case 2:
        output[end.produced++] = static_cast<BYTE>(pending | (v >> 2));
        pending = static_cast<BYTE>(v << 6);
        break;
      default:
        output[end.produced++] = static_cast<BYTE>(pending | v);
        if (k > kLastGroupStart) {
          end.taken = k + 1;
          return end;
        }
        break;
    }
    position = (position + 1) & 3;
  }
  end.taken = count;
  return end;
}

}  // namespace

LONG SkipArmorHeader(const BYTE* bytes, DWORD count) {
  LONG at = SkipArmorLine(bytes, count, "BEGIN", 5);
  return at < 0 ? static_cast<LONG>(B64_ARMOR_WORD_MISSING) : at;
}

LONG CheckArmorFooter(const BYTE* bytes, DWORD count) {
  LONG at = SkipArmorLine(bytes, count, "END", 3);
  if (at < 0) return static_cast<LONG>(B64_ARMOR_WORD_MISSING);
  return static_cast<DWORD>(at) < count ? static_cast<LONG>(B64_TEXT_AFTER_FOOTER) : 0;
}

DWORD Base64EncodeStream(HANDLE source, HANDLE target, std::uint64_t size, BYTE* input, BYTE* output) {
  int line = 0;
  while (size > 0) {
    const DWORD n = size < kBase64ChunkSize ? static_cast<DWORD>(size) : kBase64ChunkSize;
    if (DWORD rc = ReadChunk(source, input, n)) return rc;
    size -= n;
    BYTE* out = output;
    auto putGroup = [&](BYTE b0, BYTE b1, BYTE b2) {
      out[0] = static_cast<BYTE>(kAlphabet[b0 >> 2]);
      out[1] = static_cast<BYTE>(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
      out[2] = static_cast<BYTE>(kAlphabet[((b1 & 15) << 2) | (b2 >> 6)]);
      out[3] = static_cast<BYTE>(kAlphabet[b2 & 63]);
      out += 4;
      line += 4;
      if (line == kLineLength) {
        *out++ = '\n';
        line = 0;
      }
    };
    const DWORD whole = n - n % 3;
    for (DWORD i = 0; i < whole; i += 3) putGroup(input[i], input[i + 1], input[i + 2]);
    // Only the file's last chunk can end in a part group: the missing bytes
    // read as 0 and their characters become pads.
    if (n % 3 != 0) {
      const bool two = n % 3 == 2;
      putGroup(input[whole], two ? input[whole + 1] : 0, 0);
      BYTE* group = out - (line == 0 ? 5 : 4);
      group[3] = '=';
      if (!two) group[2] = '=';
    }
    if (DWORD rc = WriteChunk(target, output, static_cast<DWORD>(out - output))) return rc;
  }
  return 0;
}

DWORD Base64DecodeStream(HANDLE source, HANDLE target, std::uint64_t size, BYTE* input, BYTE* output) {
  DecodeState state;
  while (size > 0) {
    const DWORD n = size < kBase64ChunkSize ? static_cast<DWORD>(size) : kBase64ChunkSize;
    if (DWORD rc = ReadChunk(source, input, n)) return rc;
    size -= n;
    const ChunkEnd end = DecodeChunk(input, n, output, state);
    if (end.result != 0) return end.result;
    if (DWORD rc = WriteChunk(target, output, end.produced)) return rc;
    if (end.finished) return 0;
    if (end.taken < n) {
      LARGE_INTEGER back{};
      back.QuadPart = -static_cast<std::int64_t>(n - end.taken);
      if (!SetFilePointerEx(source, back, nullptr, FILE_CURRENT)) return LastErrorOr(ERROR_SEEK);
      size += n - end.taken;
    }
  }
  return 0;
}

DWORD Base64File(const CStringA& source, const CStringA& target, int encode, bool* targetCreated) {
  if (targetCreated != nullptr) *targetCreated = false;
  const CString wideSource(source);
  const CString wideTarget(target);
  platform::FileHandle in(
      CreateFileW(wideSource, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in.valid()) return LastErrorOr(ERROR_FILE_NOT_FOUND);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(in.get(), &size)) return LastErrorOr(ERROR_INVALID_HANDLE);
  // Created new, never replaced: an output name is settled before the call,
  // and whatever appeared under it since is someone else's file.
  platform::FileHandle out(
      CreateFileW(wideTarget, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (!out.valid()) return LastErrorOr(ERROR_FILE_EXISTS);
  if (targetCreated != nullptr) *targetCreated = true;

  const DWORD outputSize = encode ? kBase64EncodedChunkSize : kBase64ChunkSize;
  std::unique_ptr<BYTE[]> input(new (std::nothrow) BYTE[kBase64ChunkSize]);
  std::unique_ptr<BYTE[]> output(new (std::nothrow) BYTE[outputSize]);
  DWORD result = 0;
  if (!input || !output) {
    result = ERROR_NOT_ENOUGH_MEMORY;
  } else {
    const auto total = static_cast<std::uint64_t>(size.QuadPart);
    result = encode ? Base64EncodeStream(in.get(), out.get(), total, input.get(), output.get())
                    : Base64DecodeStream(in.get(), out.get(), total, input.get(), output.get());
  }
  const BOOL outClosed = out.Close();
  const DWORD outError = outClosed ? 0 : LastErrorOr(ERROR_WRITE_FAULT);
  const BOOL inClosed = in.Close();
  const DWORD inError = inClosed ? 0 : LastErrorOr(ERROR_READ_FAULT);
  if (result == 0) result = outError != 0 ? outError : inError;
  return result;
}
