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

struct SplitMessage {
  std::string shell;   // BER, content left out (a detached signed message, or
                       // an enveloped message without its encrypted content)
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // content bytes: offset, length
  bool hasContent = false;
};

// Splits a signed or enveloped message file. NOT_SIGNED_MESSAGE or
// BAD_MESSAGE (with a stack line) as LoadCmsFile.
uint32_t SplitFile(Context* context, const std::string& path, SplitMessage* split);
// The same over an open file (read from its start); what names it in texts.
uint32_t SplitStream(Context* context, std::FILE* file, const std::string& what, SplitMessage* split);

// The content ranges of a message of which only the first size bytes are in
// the file so far (a message still arriving); returns their total length.
// signedOnly: none unless the message is a signed one.
uint64_t ContentSoFar(std::FILE* file, uint64_t size, std::vector<std::pair<uint64_t, uint64_t>>* ranges,
                      bool signedOnly = false);

// A read-only BIO over the content ranges of an open file (not owned).
BioPtr ContentBio(std::FILE* file, const std::vector<std::pair<uint64_t, uint64_t>>& ranges);

// A content BIO that may still grow: past the ranges known it asks its
// reader to retry, until SetContentRanges says the ranges are complete. The
// ranges given each time start with those given before.
BioPtr GrowingContentBio(std::FILE* file);
void SetContentRanges(BIO* bio, const std::vector<std::pair<uint64_t, uint64_t>>& ranges, bool complete);

// For an enveloped message still arriving in file: once everything before its
// encrypted content is there, that part closed into a message of its own
// (without the content and what follows it); false until then.
bool EnvelopeHeadSoFar(std::FILE* file, std::string* head);

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

// Writes cms (detached) with the content of ranges (from file) put back
// into it, as BER with indefinite lengths.
uint32_t JoinToBio(Context* context, CMS_ContentInfo* cms, std::FILE* file,
                   const std::vector<std::pair<uint64_t, uint64_t>>& ranges, BIO* out, const std::string& what);

// Writes cms (a detached signed message, or an enveloped one without its
// encrypted content) as DER with the content of ranges (from file) put in,
// as the message would be encoded had it been built with its content: the
// lengths are known from the ranges, so the content is copied in pieces.
uint32_t JoinToBioDer(Context* context, CMS_ContentInfo* cms, std::FILE* file,
                      const std::vector<std::pair<uint64_t, uint64_t>>& ranges, BIO* out, const std::string& what);

// A file that closes itself.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace qelm
