#pragma once
// Large messages without loading their content: a message file is split into
// its shell (everything but the signed or encrypted content, small) and the
// places of the content's bytes in the file; the content is then read from
// the file in pieces, and a changed shell is joined with it again.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qelm/cms_common.h"

namespace qelm {

// Where a message's content lies in its file. The content is read from there
// piece by piece, following its encoding as it goes, and never listed: a list
// of the pieces would grow with the file (a content of small pieces would
// take more memory than the file itself).
struct ContentPlace {
  uint64_t start = 0;   // the header of the content's OCTET STRING (or of its
                        // [0] IMPLICIT form), or with raw its first byte
  uint64_t length = 0;  // content bytes in all; 0 while a message still arrives
  bool raw = false;     // the bytes [start, start + length) as they are
  static ContentPlace Raw(uint64_t start, uint64_t length) { return {start, length, true}; }
};

struct SplitMessage {
  std::string shell;   // BER, content left out (a detached signed message, or
                       // an enveloped message without its encrypted content)
  ContentPlace content;
  bool hasContent = false;
};

// Splits a signed or enveloped message file. NOT_SIGNED_MESSAGE or
// BAD_MESSAGE (with a stack line) as LoadCmsFile.
uint32_t SplitFile(Context* context, const std::string& path, SplitMessage* split);
// The same over an open file (read from its start); what names it in texts.
uint32_t SplitStream(Context* context, std::FILE* file, const std::string& what, SplitMessage* split);

// The place of the content of a message of which only a part is in the file
// so far (a message still arriving): false until the content's header has
// arrived. signedOnly: false unless the message is a signed one.
bool ContentPlaceSoFar(std::FILE* file, ContentPlace* place, bool signedOnly = false);

// A read-only BIO over the content at place in an open file (not owned).
// Reading fails on a content whose encoding is damaged or cut short.
BioPtr ContentBio(std::FILE* file, const ContentPlace& place);

// A content BIO that may still grow: it reads the content at place up to the
// first available bytes of the file and past them (its end included) asks
// its reader to retry, until SetContentAvailable says the file is complete. Until the first call
// every read asks to retry. The place stays the same from call to call.
BioPtr GrowingContentBio(std::FILE* file);
void SetContentAvailable(BIO* bio, const ContentPlace& place, uint64_t available, bool complete);

// For an enveloped message still arriving in file: once everything before its
// encrypted content is there, that part closed into a message of its own
// (without the content and what follows it, unprotected put in its place:
// see PlaceholderMacAttributes); false until then.
bool EnvelopeHeadSoFar(std::FILE* file, std::string* head, const std::string& unprotected = {});
// The unprotected attributes (the [1] element) of the shell of an enveloped
// message, as they are encoded; empty when it has none.
std::string EnvelopeUnprotectedAttributes(std::string_view shell);

// How much of a signed message still arriving may be passed on unchanged
// before its end (certificates, signatures) is rewritten: with indefinite
// outer lengths, everything up to the end of its encapsulated content.
enum class PrefixState {
  kWait,            // too little has arrived to tell
  kNotStreamable,   // not a signed message with indefinite outer lengths
  kPrefix,          // *prefixEnd: the bytes so far (content still arriving)
  kComplete,        // *prefixEnd: where the part after the content begins
};
PrefixState SignedPrefixSoFar(std::FILE* file, uint64_t* prefixEnd);
// Whether bytes (the start of an input) begin a ContentInfo of signed data:
// kTooShort until enough has arrived to tell. *indefinite: the outer length
// is indefinite (a stream-encoded message).
enum class SignedHead { kNo, kYes, kTooShort };
SignedHead SignedDataHead(std::string_view bytes, bool* indefinite);

// The digest algorithm OIDs of a signed message still arriving in file;
// false until its digestAlgorithms set has arrived whole (or when the file
// holds no signed message).
bool SignedDigestAlgorithmsSoFar(std::FILE* file, std::vector<std::string>* oids);

// The part of cms after its encapsulated content (certificates, revocation
// lists, signatures) and the closing of the outer indefinite lengths.
uint32_t TailAfterContent(Context* context, CMS_ContentInfo* cms, std::string* tail);

// Writes cms (detached) with the content at place (in file) put back into
// it, as BER with indefinite lengths, one segment per piece of the content.
uint32_t JoinToBio(Context* context, CMS_ContentInfo* cms, std::FILE* file, const ContentPlace& place, BIO* out,
                   const std::string& what);

// Writes cms (a detached signed message, or an enveloped one without its
// encrypted content) as DER with the content at place (in file, of
// place.length bytes) put in, as the message would be encoded had it been
// built with its content: the lengths are known up front, so the content is
// copied in pieces.
uint32_t JoinToBioDer(Context* context, CMS_ContentInfo* cms, std::FILE* file, const ContentPlace& place, BIO* out,
                      const std::string& what);

// A file that closes itself.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace qelm
