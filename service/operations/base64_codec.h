#pragma once
// The Base64 codec of the B64E and B64D operations: one file to another in
// chunks of 30000 bytes, so that any size (64-bit) goes through two fixed
// buffers.
//
// Encoding writes the RFC 4648 alphabet with "=" pads, an LF after every 76
// characters (also at the very end when the text's length is a multiple of
// 76), no CR and no armour. Decoding skips single control bytes (line ends
// of either kind), takes an armour header ("-----BEGIN LABEL-----") at the
// very start of the file and stops at an armour footer ("-----END
// LABEL-----"); the bytes it gives are those of the text up to there. A
// single "-" between whole groups of the data is passed over and the data
// goes on in a fresh group after it; the next "-" is taken for a footer. A
// "-" inside a group ends the data: only a footer may follow it, and data
// after it is a bad character (B64_INVALID_CHARACTER), never decoded
// shifted.
//
// Results are 32-bit codes: 0; the system error of the first file call or
// allocation that failed; 38 (ERROR_HANDLE_EOF) when the source gave fewer
// bytes than its size promised; or, when decoding, one of the B64_* codes
// below (negative numbers, recorded as unsigned values: -2 is FFFFFFFE).
// Any thread; nothing is shared between calls.

#include <cstdint>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// A byte of 0x20 or more that is neither "=" nor "-" nor in the alphabet
// (a blank, any byte of 0x80 or more).
inline constexpr DWORD B64_INVALID_CHARACTER = static_cast<DWORD>(-2);
// More than 3 control bytes in a row within one chunk (an empty line of CR LF
// text).
inline constexpr DWORD B64_CONTROL_RUN = static_cast<DWORD>(-3);
// An armour header without "BEGIN" or a footer without "END" after its dashes
// and blanks.
inline constexpr DWORD B64_ARMOR_WORD_MISSING = static_cast<DWORD>(-4);
// A byte above 0x20 after the footer's closing dashes, within the chunk.
inline constexpr DWORD B64_TEXT_AFTER_FOOTER = static_cast<DWORD>(-5);
// A third "=".
inline constexpr DWORD B64_TOO_MANY_PADS = static_cast<DWORD>(-6);
// An alphabet character after a "=".
inline constexpr DWORD B64_DATA_AFTER_PAD = static_cast<DWORD>(-7);

// Bytes read per chunk, a multiple of 3; and the room an encoded chunk needs
// (10000 groups of 4 characters and their LFs).
inline constexpr DWORD kBase64ChunkSize = 30000;
inline constexpr DWORD kBase64EncodedChunkSize = 45008;

// Codes source into target (encode 1) or back (encode 0). The paths are 8-bit
// text in the ANSI code page. The target is created new (80 when the name is
// taken: nothing is ever replaced); *targetCreated (may be null) tells
// whether this call created it, so that a caller may delete what a failed
// call left. On failure the target keeps what earlier chunks wrote: the
// bytes of the failing chunk are not written.
DWORD Base64File(const CStringA& source, const CStringA& target, int encode, bool* targetCreated = nullptr);

// The two directions on open handles: size bytes are read from source's
// position, input is kBase64ChunkSize bytes, output kBase64EncodedChunkSize
// (encoding) or kBase64ChunkSize (decoding). Each chunk costs one read and at
// most one write; decoding moves the source back (SetFilePointerEx) to the
// first byte a chunk did not take when it ended early.
DWORD Base64EncodeStream(HANDLE source, HANDLE target, std::uint64_t size, BYTE* input, BYTE* output);
DWORD Base64DecodeStream(HANDLE source, HANDLE target, std::uint64_t size, BYTE* input, BYTE* output);

// Over bytes[0, count) that begin with an armour header: skips the dashes and
// blanks, requires "BEGIN", skips the label (blanks, "A"-"Z", "0"-"9"), the
// dashes and every byte of 0x20 or less. Returns the index reached (above 0),
// or B64_ARMOR_WORD_MISSING as a signed value (-4).
LONG SkipArmorHeader(const BYTE* bytes, DWORD count);
// The same walk over a footer with "END"; then 0 when nothing but bytes of
// 0x20 or less follow within count, else -5. -4 when "END" is missing.
LONG CheckArmorFooter(const BYTE* bytes, DWORD count);
