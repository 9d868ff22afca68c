// Memory streams (the ...InitMem / ...UpdateMem / ...FinalMem families).
//
// Attached signing and encryption turn every piece of content into a piece of
// the message at once; the piece is handed out by the next call and kept
// meanwhile in an anonymous temporary file, so that no stage holds a piece
// in memory between its calls and no call hands out two (Init has no
// output). Attached signing of what is already a stream-encoded signed
// message passes it on up to the end of its content, as time stamping does,
// and adds the signature in Final. Detached signing and detached
// verification digest their data piece by piece. The other stages gather
// their input in an anonymous temporary file and read it back split into
// shell and content: attached verification hands out the content found so
// far at each Update, decryption the plaintext found so far (with a MAC
// cipher, the MAC's verdict comes with Final), time stamping the part of a
// stream-encoded message before its signatures, each no more at a time than
// the piece it took; message information and stamp checks work in Final
// alone.
// Final gives what is left; whether the output may be used is told by its code.

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_set>

#include "platform/files.h"
#include "qelm/cms_common.h"
#include "qelm/cms_envelope.h"
#include "qelm/cms_info.h"
#include "qelm/cms_sign.h"
#include "qelm/cms_split.h"
#include "qelm/cms_verify.h"
#include "qelm/tsp.h"

namespace qelm {

namespace {

enum class Kind { kAttSign, kDetSign, kAttVerify, kDetVerify, kEncrypt, kDecrypt, kMsgInf, kStamp, kStampVerify };

// What attached signing found its input to be. Until the start of the input
// tells, it is gathered; an attached signed message gets one more signature.
enum class SignInput {
  kData,          // signed as it comes
  kUndecided,     // too little has arrived to tell
  kAddStreamed,   // a stream-encoded message: passed on up to the end of its content
  kAddWhole,      // a message of definite lengths (or of another digest): worked on in Final
};

struct Stream {
  Kind kind;
  FilePtr spool;              // gathered input of the stages that work in Final,
  uint64_t spooled = 0;       // kept in an anonymous temporary file, not in memory
  ContentDigests digests;     // detached signing and verification
  CmsPtr cms;                 // the detached signature to add to or to verify,
                              // or the message being written (attached signing, encryption)
  BioPtr sink;                // what the writer has made and not yet handed out
  BIO* writer = nullptr;      // the content goes in here; its chain ends in sink
  bool wrote = false;
  uint64_t handedOut = 0;     // content bytes of an attached verification already given
  // The content found so far, read on from where the last Update stopped:
  // attached verification hands it out, decryption under way while the
  // message still arrives reads it.
  BioPtr feeder;
  ContentPlace place;         // where the content starts, once placeKnown
  bool placeKnown = false;
  CmsPtr head;
  std::unique_ptr<Decryption> decryption;  // its chain ends in feeder
  bool gatherOnly = false;
  SignInput signInput = SignInput::kData;  // attached signing

  ~Stream() { CloseWriter(); }
  void CloseWriter() {
    while (writer != nullptr && writer != sink.get()) {
      BIO* next = BIO_pop(writer);
      BIO_free(writer);
      writer = next;
    }
    writer = nullptr;
  }
};

std::mutex& StreamsMutex() {
  static std::mutex m;
  return m;
}
std::unordered_set<Stream*>& Streams() {
  static auto* set = new std::unordered_set<Stream*>();
  return *set;
}

Stream* Lookup(StreamContext* handle, Kind kind) {
  if (handle == nullptr || *handle == nullptr) return nullptr;
  auto* stream = reinterpret_cast<Stream*>(*handle);
  std::lock_guard lock(StreamsMutex());
  if (Streams().count(stream) == 0 || stream->kind != kind) return nullptr;
  return stream;
}

// Takes the stream out of the caller's handle; it is freed when the result
// goes out of scope.
std::unique_ptr<Stream> Take(StreamContext* handle, Kind kind) {
  Stream* stream = Lookup(handle, kind);
  if (stream == nullptr) return nullptr;
  std::lock_guard lock(StreamsMutex());
  Streams().erase(stream);
  *handle = nullptr;
  return std::unique_ptr<Stream>(stream);
}

StreamContext Publish(std::unique_ptr<Stream> stream) {
  std::lock_guard lock(StreamsMutex());
  Streams().insert(stream.get());
  return reinterpret_cast<StreamContext>(stream.release());
}

bool ValidBlob(const DataBlob* blob) { return blob != nullptr && (blob->length == 0 || blob->data != nullptr); }

uint32_t Gather(Context& ctx, Stream& stream, const DataBlob* input) {
  if (!ValidBlob(input)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
  if (stream.spool == nullptr) {
    // In the caller's temporary folder, readable by nobody else: it holds
    // what is being signed, verified or decrypted.
    stream.spool.reset(platform::CreateTemporaryFileStream());
    if (stream.spool == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, "tmpfile");
  }
  // Reads may have moved the position: writing always appends.
  if (input->length > 0 && (std::fseek(stream.spool.get(), 0, SEEK_END) != 0 ||
                            std::fwrite(input->data, 1, input->length, stream.spool.get()) != input->length)) {
    return Fail(&ctx, ORLAX_E_FILE_WRITE, "tmpfile");
  }
  stream.spooled += input->length;
  return 0;
}

// The gathered message, split into its shell and the places of its content.
uint32_t SplitGathered(Context& ctx, Stream& stream, SplitMessage* split, CmsPtr* cms) {
  if (std::fflush(stream.spool.get()) != 0) return Fail(&ctx, ORLAX_E_FILE_WRITE, "tmpfile");
  if (uint32_t code = SplitStream(&ctx, stream.spool.get(), "DataBlob", split); code != 0) return code;
  BioPtr shell(BIO_new_mem_buf(split->shell.data(), static_cast<int>(split->shell.size())));
  if (shell == nullptr) throw std::bad_alloc();
  return LoadCms(&ctx, shell.get(), "DataBlob", cms);
}

// Bytes [from, to) of the gathered input.
uint32_t SpoolBytes(Context& ctx, Stream& s, uint64_t from, uint64_t to, std::string* bytes) {
  bytes->assign(static_cast<size_t>(to - from), '\0');
  if (bytes->empty()) return 0;
  if (std::fflush(s.spool.get()) != 0 || std::fseek(s.spool.get(), static_cast<long>(from), SEEK_SET) != 0 ||
      std::fread(bytes->data(), 1, bytes->size(), s.spool.get()) != bytes->size()) {
    return Fail(&ctx, ORLAX_E_FILE_OPEN, "tmpfile");
  }
  return 0;
}

// An output a blob cannot hold, as BioToBlob reports it.
uint32_t BlobTooLarge(Context& ctx) { return Fail(&ctx, ORLAX_E_FILE_TOO_LARGE, "результат больше 4 ГБ"); }

// A stream-encoded message passes on unchanged up to the end of its content,
// at most limit bytes a call (what Init took waits in the spool, so that no
// piece is larger than the one taken); only its end, with the signature to
// stamp, waits for Final.
uint32_t PassOnPrefix(Context& ctx, Stream& s, DataBlob* output, uint64_t limit) {
  if (s.gatherOnly || output == nullptr) return 0;
  if (std::fflush(s.spool.get()) != 0) return Fail(&ctx, ORLAX_E_FILE_WRITE, "tmpfile");
  uint64_t prefixEnd = 0;
  PrefixState state = SignedPrefixSoFar(s.spool.get(), &prefixEnd);
  if (state == PrefixState::kNotStreamable) {
    s.gatherOnly = s.handedOut == 0;
    return 0;
  }
  if (prefixEnd <= s.handedOut) return 0;
  // Read straight into the blob: a piece is as large as the caller's.
  const uint64_t length = std::min(prefixEnd - s.handedOut, limit);
  if (length > 0xFFFFFFFFu) return BlobTooLarge(ctx);
  std::unique_ptr<uint8_t, decltype(&std::free)> bytes(static_cast<uint8_t*>(std::malloc(length)), &std::free);
  if (bytes == nullptr) throw std::bad_alloc();
  if (std::fseek(s.spool.get(), static_cast<long>(s.handedOut), SEEK_SET) != 0 ||
      std::fread(bytes.get(), 1, length, s.spool.get()) != length) {
    return Fail(&ctx, ORLAX_E_FILE_OPEN, "tmpfile");
  }
  output->data = bytes.release();
  output->length = static_cast<uint32_t>(length);
  s.handedOut += length;
  return 0;
}

// The limit of an Update's output: the piece it took, or all there is for
// an empty Update (the closing run's).
uint64_t PieceLimit(const DataBlob* input) { return input->length > 0 ? input->length : UINT64_MAX; }

// The writing stages (attached signing, encryption) turn each piece of
// content into a piece of the message at once, so they hold no more than one
// piece.
uint32_t StartWriting(Context& ctx, Kind kind, CmsPtr cms, const DataBlob* first, StreamContext* handle);

// Past this many bytes a writing stage's output goes on in its spill file.
constexpr size_t kSinkSpillAt = 1 << 20;

// The writer's sink: what it makes gathers in one buffer of malloc's, which
// Drain hands over whole as the caller's blob (ORLAX_FreeMem frees it). A
// piece of output is thus never copied, and nothing stays allocated between
// pieces: a memory BIO would be copied out and then keep its capacity. A
// writing stage's sink spills: past kSinkSpillAt bytes what it gathers goes
// on in an anonymous temporary file, read straight into the blob when it is
// handed out, so that the piece a stage holds between its calls is on disk.
struct SinkBuffer {
  unsigned char* data = nullptr;
  size_t length = 0, capacity = 0;
  bool spills = false;
  FilePtr spill;         // from its start: the bytes before those in data
  uint64_t spilled = 0;
  ~SinkBuffer() { std::free(data); }
  // Room for extra bytes after length; false when memory runs out.
  bool Reserve(size_t extra) {
    const size_t need = length + extra;
    if (need <= capacity) return true;
    const size_t grownCapacity = std::max(need, capacity + capacity / 2);
    auto* grown = static_cast<unsigned char*>(std::realloc(data, grownCapacity));
    if (grown == nullptr) return false;
    data = grown;
    capacity = grownCapacity;
    return true;
  }
  // Appends size bytes; false when memory or the spill file fails.
  bool Append(const char* in, size_t size) {
    if (spills && length + size > kSinkSpillAt) {
      if (spill == nullptr) spill.reset(platform::CreateTemporaryFileStream());
      if (spill == nullptr || (length > 0 && std::fwrite(data, 1, length, spill.get()) != length) ||
          std::fwrite(in, 1, size, spill.get()) != size) {
        return false;
      }
      spilled += length + size;
      length = 0;
      return true;
    }
    if (!Reserve(size)) return false;
    std::memcpy(data + length, in, size);
    length += size;
    return true;
  }
};

int SinkWrite(BIO* bio, const char* in, int size) {
  auto* buffer = static_cast<SinkBuffer*>(BIO_get_data(bio));
  if (size <= 0) return 0;
  return buffer->Append(in, static_cast<size_t>(size)) ? size : -1;
}

long SinkCtrl(BIO* /*bio*/, int cmd, long /*num*/, void* /*ptr*/) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int SinkDestroy(BIO* bio) {
  delete static_cast<SinkBuffer*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

BioPtr NewSink(bool spills) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qelm stream output");
    BIO_meth_set_write(m, SinkWrite);
    BIO_meth_set_ctrl(m, SinkCtrl);
    BIO_meth_set_destroy(m, SinkDestroy);
    return m;
  }();
  BioPtr bio(BIO_new(method));
  if (bio == nullptr) throw std::bad_alloc();
  auto* buffer = new SinkBuffer;
  buffer->spills = spills;
  BIO_set_data(bio.get(), buffer);
  BIO_set_init(bio.get(), 1);
  return bio;
}

// The buffer's bytes become the caller's blob, not copied (after what was
// spilled, read straight into the blob); the buffer is left empty.
uint32_t GiveBuffer(Context& ctx, SinkBuffer& buffer, DataBlob* output) {
  *output = {};
  const uint64_t total = buffer.spilled + buffer.length;
  if (total > 0xFFFFFFFFu) return BlobTooLarge(ctx);
  if (total == 0) return 0;
  if (buffer.spilled > 0) {
    std::unique_ptr<uint8_t, decltype(&std::free)> bytes(static_cast<uint8_t*>(std::malloc(total)), &std::free);
    if (bytes == nullptr) throw std::bad_alloc();
    std::FILE* file = buffer.spill.get();
    if (std::fflush(file) != 0 || std::fseek(file, 0, SEEK_SET) != 0 ||
        std::fread(bytes.get(), 1, buffer.spilled, file) != buffer.spilled) {
      return Fail(&ctx, ORLAX_E_FILE_OPEN, "tmpfile");
    }
    if (buffer.length > 0) std::memcpy(bytes.get() + buffer.spilled, buffer.data, buffer.length);
    std::rewind(file);  // the next bytes spilled start it again
    buffer.spilled = 0;
    buffer.length = 0;
    output->data = bytes.release();
    output->length = static_cast<uint32_t>(total);
    return 0;
  }
  output->data = buffer.data;
  output->length = static_cast<uint32_t>(buffer.length);
  buffer.data = nullptr;
  buffer.length = buffer.capacity = 0;
  return 0;
}

uint32_t Drain(Context& ctx, Stream& stream, DataBlob* output) {
  return GiveBuffer(ctx, *static_cast<SinkBuffer*>(BIO_get_data(stream.sink.get())), output);
}

uint32_t WritePiece(Context& ctx, Stream& stream, const DataBlob* input) {
  if (!ValidBlob(input)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
  if (input->length == 0) return 0;
  if (BIO_write(stream.writer, input->data, static_cast<int>(input->length)) != static_cast<int>(input->length)) {
    return Fail(&ctx, ORLAX_E_INTERNAL, "BIO_write");
  }
  stream.wrote = true;
  return 0;
}

// The writer of the message in stream.cms, its output gathered in sink.
uint32_t OpenWriter(Context& ctx, Stream& stream) {
  stream.sink = NewSink(true);
  stream.writer = BIO_new_CMS(stream.sink.get(), stream.cms.get());
  if (stream.writer == nullptr) return Fail(&ctx, ORLAX_E_INTERNAL, "BIO_new_CMS");
  return 0;
}

uint32_t StartWriting(Context& ctx, Kind kind, CmsPtr cms, const DataBlob* first, StreamContext* handle) {
  auto stream = std::make_unique<Stream>();
  stream->kind = kind;
  stream->cms = std::move(cms);
  if (uint32_t code = OpenWriter(ctx, *stream); code != 0) return code;
  if (uint32_t code = WritePiece(ctx, *stream, first); code != 0) return code;
  *handle = Publish(std::move(stream));
  return 0;
}

// What the earlier pieces made goes out first; what this one makes waits in
// the sink for the next call. No call thus hands out much more than the
// piece before it, the one that Init took included.
uint32_t KeepWriting(Context& ctx, Kind kind, StreamContext* handle, const DataBlob* input, DataBlob* output) {
  if (output != nullptr) *output = {};
  Stream* stream = Lookup(handle, kind);
  if (stream == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
  if (!ValidBlob(input)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
  if (uint32_t code = Drain(ctx, *stream, output); code != 0) return code;
  if (uint32_t code = WritePiece(ctx, *stream, input); code != 0) {
    std::free(output->data);
    *output = {};
    return code;
  }
  return 0;
}

// Ends the message. An empty content is written whole: OpenSSL's streaming
// writer fails on it.
uint32_t FinishWriting(Context& ctx, Stream& stream, DataBlob* output,
                       const std::function<uint32_t(DataBlob*)>& writeEmpty) {
  if (!stream.wrote) {
    stream.CloseWriter();
    return writeEmpty(output);
  }
  if (BIO_flush(stream.writer) != 1) return Fail(&ctx, ORLAX_E_INTERNAL, "BIO_flush");
  stream.CloseWriter();
  return Drain(ctx, stream, output);
}

// Init of a gathering stage.
uint32_t StartGathering(Context& ctx, Kind kind, const DataBlob* first, StreamContext* handle) {
  if (handle == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
  *handle = nullptr;
  auto stream = std::make_unique<Stream>();
  stream->kind = kind;
  if (uint32_t code = Gather(ctx, *stream, first); code != 0) return code;
  *handle = Publish(std::move(stream));
  return 0;
}

// Update of a gathering stage (an empty output where there is one).
uint32_t KeepGathering(Context& ctx, Kind kind, StreamContext* handle, const DataBlob* input, DataBlob* output) {
  if (output != nullptr) *output = {};
  Stream* stream = Lookup(handle, kind);
  if (stream == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
  return Gather(ctx, *stream, input);
}

template <typename Fn>
uint32_t Finish(Context& ctx, Kind kind, StreamContext* handle, Fn&& work) {
  if (handle == nullptr || *handle == nullptr) return 0;  // nothing was started
  std::unique_ptr<Stream> stream = Take(handle, kind);
  if (stream == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
  return work(*stream);
}


// Final's output of a gathering stage that rewrote the end of a signed
// message (a signature added or stamped): when its start went out already,
// the rest of that start and the new end; else the whole message, its
// content put back in from the gathered input.
uint32_t GiveRewritten(Context& ctx, Stream& s, CMS_ContentInfo* cms, const SplitMessage& split, DataBlob* output) {
  // Either way the output is read or written straight into the blob: the
  // rest of the start can be as large as a piece.
  if (s.handedOut > 0) {
    uint64_t prefixEnd = 0;
    if (SignedPrefixSoFar(s.spool.get(), &prefixEnd) != PrefixState::kComplete || prefixEnd < s.handedOut) {
      return Fail(&ctx, ORLAX_E_BAD_MESSAGE, "DataBlob");
    }
    std::string tail;
    if (uint32_t code = TailAfterContent(&ctx, cms, &tail); code != 0) return code;
    const uint64_t rest = prefixEnd - s.handedOut;
    if (rest + tail.size() > 0xFFFFFFFFu) return BlobTooLarge(ctx);
    std::unique_ptr<uint8_t, decltype(&std::free)> bytes(static_cast<uint8_t*>(std::malloc(rest + tail.size() + 1)),
                                                         &std::free);
    if (bytes == nullptr) throw std::bad_alloc();
    if (std::fflush(s.spool.get()) != 0 || std::fseek(s.spool.get(), static_cast<long>(s.handedOut), SEEK_SET) != 0 ||
        std::fread(bytes.get(), 1, rest, s.spool.get()) != rest) {
      return Fail(&ctx, ORLAX_E_FILE_OPEN, "tmpfile");
    }
    std::memcpy(bytes.get() + rest, tail.data(), tail.size());
    output->data = bytes.release();
    output->length = static_cast<uint32_t>(rest + tail.size());
    return 0;
  }
  BioPtr joined = NewSink(false);
  if (uint32_t code = JoinToBio(&ctx, cms, s.spool.get(), split.content, joined.get(), "DataBlob"); code != 0) {
    return code;
  }
  return GiveBuffer(ctx, *static_cast<SinkBuffer*>(BIO_get_data(joined.get())), output);
}

// --- attached signing of what may already be a signed message ----------------

// A stream-encoded message whose digest algorithms include ours is passed on
// as it arrives; only when the start cannot tell by this much is the input
// taken for one of another kind.
constexpr uint64_t kSignInputLookAhead = 1 << 20;

uint32_t CopySpoolTo(Context& ctx, Stream& s, BIO* out) {
  if (std::fflush(s.spool.get()) != 0 || std::fseek(s.spool.get(), 0, SEEK_SET) != 0) {
    return Fail(&ctx, ORLAX_E_FILE_OPEN, "tmpfile");
  }
  std::string buffer(1 << 16, '\0');
  for (;;) {
    size_t n = std::fread(buffer.data(), 1, buffer.size(), s.spool.get());
    if (n == 0) break;
    if (BIO_write(out, buffer.data(), static_cast<int>(n)) != static_cast<int>(n)) {
      return Fail(&ctx, ORLAX_E_INTERNAL, "BIO_write");
    }
    s.wrote = true;
  }
  return std::ferror(s.spool.get()) ? Fail(&ctx, ORLAX_E_FILE_OPEN, "tmpfile") : 0;
}

// The input is data after all: a new signature over what was gathered.
uint32_t SignGatheredAsData(Context& ctx, Stream& s, uint32_t signFlags) {
  if (uint32_t code = NewStreamingSignature(ctx, signFlags, &s.cms); code != 0) return code;
  if (uint32_t code = OpenWriter(ctx, s); code != 0) return code;
  if (s.spool != nullptr) {
    if (uint32_t code = CopySpoolTo(ctx, s, s.writer); code != 0) return code;
    s.spool.reset();
    s.spooled = 0;
  }
  s.signInput = SignInput::kData;
  return 0;
}

// Settles what the gathered input is as soon as its start tells.
uint32_t DecideSignInput(Context& ctx, Stream& s, uint32_t signFlags, bool complete) {
  if (s.signInput != SignInput::kUndecided) return 0;
  std::string head;
  if (uint32_t code = SpoolBytes(ctx, s, 0, std::min<uint64_t>(s.spooled, 32), &head); code != 0) return code;
  bool indefinite = false;
  switch (SignedDataHead(head, &indefinite)) {
    case SignedHead::kNo:
      return SignGatheredAsData(ctx, s, signFlags);
    case SignedHead::kTooShort:
      return complete ? SignGatheredAsData(ctx, s, signFlags) : 0;
    case SignedHead::kYes:
      break;
  }
  if (!indefinite) {
    s.signInput = SignInput::kAddWhole;
    return 0;
  }
  std::vector<std::string> oids;
  if (SignedDigestAlgorithmsSoFar(s.spool.get(), &oids)) {
    // Its start goes out unchanged: the digest algorithms there must
    // already name the one of the signature added.
    const bool ours = std::find(oids.begin(), oids.end(), "1.2.643.7.1.1.2.2") != oids.end();
    s.signInput = ours ? SignInput::kAddStreamed : SignInput::kAddWhole;
  } else if (complete || s.spooled > kSignInputLookAhead) {
    s.signInput = SignInput::kAddWhole;
  }
  return 0;
}

// Final of attached signing over a signed message: one more signature.
uint32_t AddSignatureToGathered(Context& ctx, Stream& s, uint32_t signFlags, DataBlob* output) {
  if (std::fflush(s.spool.get()) != 0 || std::fseek(s.spool.get(), 0, SEEK_SET) != 0) {
    return Fail(&ctx, ORLAX_E_FILE_OPEN, "tmpfile");
  }
  MessageOutline outline;
  BerReader reader(s.spool.get());
  if ((ReadOutline(reader, &outline) != 0 || outline.type != ORLAX_MSG_SIGNED) && s.handedOut == 0) {
    // Something that only began like a signed message is data, as for the
    // file forms: it is signed whole.
    if (uint32_t code = SignGatheredAsData(ctx, s, signFlags); code != 0) return code;
    if (BIO_flush(s.writer) != 1) return Fail(&ctx, ORLAX_E_INTERNAL, "BIO_flush");
    s.CloseWriter();
    return Drain(ctx, s, output);
  }
  SplitMessage split;
  CmsPtr cms;
  if (uint32_t code = SplitGathered(ctx, s, &split, &cms); code != 0) return code;
  if (!IsSigned(cms.get())) return Fail(&ctx, ORLAX_E_BAD_MESSAGE, "DataBlob");
  if (!split.hasContent) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, "DataBlob");
  BioPtr content = ContentBio(s.spool.get(), split.content);
  std::string digest;
  if (uint32_t code = DigestOf(ctx, content.get(), "DataBlob", &digest); code != 0) return code;
  if (uint32_t code = AddSignerWithDigest(ctx, cms.get(), digest, signFlags); code != 0) return code;
  return GiveRewritten(ctx, s, cms.get(), split, output);
}

}  // namespace
}  // namespace qelm

using namespace qelm;

extern "C" {

// --- message information ---------------------------------------------------

ORLAX_API uint32_t ORLAX_CmsStrMsgInfInitMem(LibraryContext context, const DataBlob* first, StreamContext* stream,
                                             uint32_t /*flags*/) {
  return WithContext("ORLAX_CmsStrMsgInfInitMem", context,
                     [&](Context& ctx) { return StartGathering(ctx, Kind::kMsgInf, first, stream); });
}

ORLAX_API uint32_t ORLAX_CmsStrMsgInfUpdateMem(LibraryContext context, StreamContext* stream, const DataBlob* input) {
  return WithContext("ORLAX_CmsStrMsgInfUpdateMem", context,
                     [&](Context& ctx) { return KeepGathering(ctx, Kind::kMsgInf, stream, input, nullptr); });
}

ORLAX_API uint32_t ORLAX_CmsStrMsgInfFinalMem(LibraryContext context, StreamContext* stream, MessageInfo* info) {
  return WithContext("ORLAX_CmsStrMsgInfFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (info != nullptr) std::memset(info, 0, sizeof *info);
    return Finish(ctx, Kind::kMsgInf, stream, [&](Stream& s) -> uint32_t {
      if (info == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "MessageInfo");
      MessageOutline outline;
      std::fflush(s.spool.get());
      std::rewind(s.spool.get());
      BerReader reader(s.spool.get());
      if (uint32_t code = ReadOutline(reader, &outline); code != 0) return Fail(&ctx, code, "DataBlob");
      FillMessageInfo(outline, info);
      return 0;
    });
  });
}

// --- attached signing ------------------------------------------------------

ORLAX_API uint32_t ORLAX_CmsStrAttSignInitMem(LibraryContext context, const SignParams* params,
                                              const DataBlob* first, StreamContext* stream) {
  return WithContext("ORLAX_CmsStrAttSignInitMem", context, [&](Context& ctx) -> uint32_t {
    if (stream != nullptr) *stream = nullptr;
    if (params == nullptr || stream == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
    if (!ValidBlob(first)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
    bool indefinite = false;
    std::string_view start(reinterpret_cast<const char*>(first->data), first->length);
    if (SignedDataHead(start, &indefinite) == SignedHead::kNo) {
      // Plain data, the usual case: signed as it comes, never gathered.
      CmsPtr cms;
      if (uint32_t code = NewStreamingSignature(ctx, params->flags, &cms); code != 0) return code;
      return StartWriting(ctx, Kind::kAttSign, std::move(cms), first, stream);
    }
    if (uint32_t code = CheckSigningCert(ctx); code != 0) return code;
    auto s = std::make_unique<Stream>();
    s->kind = Kind::kAttSign;
    s->signInput = SignInput::kUndecided;
    if (uint32_t code = Gather(ctx, *s, first); code != 0) return code;
    if (uint32_t code = DecideSignInput(ctx, *s, params->flags, false); code != 0) return code;
    *stream = Publish(std::move(s));
    return 0;
  });
}

// Data is signed piece by piece; of a stream-encoded signed message the
// start passes on unchanged as it arrives.
ORLAX_API uint32_t ORLAX_CmsStrAttSignUpdateMem(LibraryContext context, const SignParams* params,
                                                StreamContext* stream, const DataBlob* input, DataBlob* output) {
  return WithContext("ORLAX_CmsStrAttSignUpdateMem", context, [&](Context& ctx) -> uint32_t {
    Stream* s = Lookup(stream, Kind::kAttSign);
    if (s == nullptr || s->signInput == SignInput::kData) {
      return KeepWriting(ctx, Kind::kAttSign, stream, input, output);
    }
    if (output != nullptr) *output = {};
    if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
    if (uint32_t code = Gather(ctx, *s, input); code != 0) return code;
    if (uint32_t code = DecideSignInput(ctx, *s, params->flags, false); code != 0) return code;
    if (s->signInput == SignInput::kData) return Drain(ctx, *s, output);
    if (s->signInput == SignInput::kAddStreamed) return PassOnPrefix(ctx, *s, output, PieceLimit(input));
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_CmsStrAttSignFinalMem(LibraryContext context, const SignParams* params,
                                               StreamContext* stream, DataBlob* output) {
  return WithContext("ORLAX_CmsStrAttSignFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (output != nullptr) *output = {};
    return Finish(ctx, Kind::kAttSign, stream, [&](Stream& s) -> uint32_t {
      if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
      if (uint32_t code = DecideSignInput(ctx, s, params->flags, true); code != 0) return code;
      if (s.signInput != SignInput::kData) return AddSignatureToGathered(ctx, s, params->flags, output);
      return FinishWriting(ctx, s, output, [&](DataBlob* out) {
        DataBlob empty{};
        return SignBlobAttached(ctx, params->flags, &empty, Encoding::kIndefinite, out);
      });
    });
  });
}

// --- detached signing ------------------------------------------------------

ORLAX_API uint32_t ORLAX_CmsStrDetSignInitMem(LibraryContext context, const SignParams* params,
                                              const DataBlob* existing, StreamContext* stream) {
  return WithContext("ORLAX_CmsStrDetSignInitMem", context, [&](Context& ctx) -> uint32_t {
    if (stream != nullptr) *stream = nullptr;
    if (params == nullptr || stream == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
    if (uint32_t code = CheckSigningCert(ctx); code != 0) return code;
    auto s = std::make_unique<Stream>();
    s->kind = Kind::kDetSign;
    if (existing != nullptr && existing->length > 0) {
      if (uint32_t code = LoadDetachedBlob(ctx, existing, &s->cms); code != 0) return code;
    }
    if (!s->digests.Add(NID_id_GostR3411_2012_256)) return Fail(&ctx, ORLAX_E_ENGINE, "md_gost12_256");
    *stream = Publish(std::move(s));
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_CmsStrDetSignUpdateMem(LibraryContext context, const SignParams* /*params*/,
                                                StreamContext* stream, const DataBlob* input) {
  return WithContext("ORLAX_CmsStrDetSignUpdateMem", context, [&](Context& ctx) -> uint32_t {
    Stream* s = Lookup(stream, Kind::kDetSign);
    if (s == nullptr || !ValidBlob(input)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
    if (!s->digests.Update(input->data, input->length)) return Fail(&ctx, ORLAX_E_ENGINE, "digest");
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_CmsStrDetSignFinalMem(LibraryContext context, const SignParams* params,
                                               StreamContext* stream, DataBlob* output) {
  return WithContext("ORLAX_CmsStrDetSignFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (output != nullptr) *output = {};
    return Finish(ctx, Kind::kDetSign, stream, [&](Stream& s) -> uint32_t {
      if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
      s.digests.Finish();
      const std::string* digest = s.digests.Get(NID_id_GostR3411_2012_256);
      if (digest == nullptr) return Fail(&ctx, ORLAX_E_ENGINE, "digest");
      return SignDigestDetached(ctx, params->flags, s.cms.get(), *digest, Encoding::kIndefinite, output);
    });
  });
}

// --- attached verification -------------------------------------------------

ORLAX_API uint32_t ORLAX_CmsStrAttVerifyInitMem(LibraryContext context, const VerifyParams* /*params*/,
                                                const DataBlob* first, StreamContext* stream) {
  return WithContext("ORLAX_CmsStrAttVerifyInitMem", context,
                     [&](Context& ctx) { return StartGathering(ctx, Kind::kAttVerify, first, stream); });
}

// Everything source gives until it asks to retry (more is still to come) or,
// with complete, until its end, at most limit bytes, read straight into
// output; failure: the code when it fails or, with complete, asks to retry.
uint32_t ReadSoFar(Context& ctx, BIO* source, bool complete, uint32_t failure, DataBlob* output,
                   uint64_t limit = UINT64_MAX) {
  *output = {};
  SinkBuffer buffer;
  while (buffer.length < limit) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(1 << 16, limit - buffer.length));
    if (!buffer.Reserve(want)) throw std::bad_alloc();
    const int n = BIO_read(source, buffer.data + buffer.length, static_cast<int>(want));
    if (n > 0) {
      buffer.length += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && BIO_should_retry(source) && !complete) break;  // more to come
    if (n < 0) return Fail(&ctx, failure, "DataBlob");
    break;
  }
  return GiveBuffer(ctx, buffer, output);
}

// The content arrived since the last call, at most limit bytes, into output
// (with complete: all that is left). The reader goes on from where it
// stopped, so nothing is read twice.
uint32_t HandOutContent(Context& ctx, Stream& stream, bool complete, DataBlob* output, uint64_t limit = UINT64_MAX) {
  if (stream.feeder == nullptr) stream.feeder = GrowingContentBio(stream.spool.get());
  SetContentAvailable(stream.feeder.get(), stream.place, stream.spooled, complete);
  if (uint32_t code = ReadSoFar(ctx, stream.feeder.get(), complete, ORLAX_E_BAD_MESSAGE, output, limit);
      code != 0) {
    return code;
  }
  stream.handedOut += output->length;
  return 0;
}

// The content is handed out as it arrives; whether it may be used is told by
// Final, which checks the signatures. A piece handed out is never longer than
// the piece that came in (an empty input asks for all there is): as the
// first piece only starts the stream, a caller would otherwise hold two
// pieces' content beside the next piece it reads, and the rest waits for the
// next call or Final.
ORLAX_API uint32_t ORLAX_CmsStrAttVerifyUpdateMem(LibraryContext context, const VerifyParams* params,
                                                  StreamContext* stream, const DataBlob* input, DataBlob* content) {
  return WithContext("ORLAX_CmsStrAttVerifyUpdateMem", context, [&](Context& ctx) -> uint32_t {
    if (uint32_t code = KeepGathering(ctx, Kind::kAttVerify, stream, input, content); code != 0) return code;
    if (params == nullptr || (params->flags & ORLAX_VERIFY_CONTENT) == 0 || content == nullptr) return 0;
    Stream* s = Lookup(stream, Kind::kAttVerify);
    if (std::fflush(s->spool.get()) != 0) return Fail(&ctx, ORLAX_E_FILE_WRITE, "tmpfile");
    if (!s->placeKnown) s->placeKnown = ContentPlaceSoFar(s->spool.get(), &s->place, true);
    if (!s->placeKnown) return 0;
    return HandOutContent(ctx, *s, false, content, input->length > 0 ? input->length : UINT64_MAX);
  });
}

ORLAX_API uint32_t ORLAX_CmsStrAttVerifyFinalMem(LibraryContext context, const VerifyParams* params,
                                                 StreamContext* stream, DataBlob* content, VerifyResult* result) {
  return WithContext("ORLAX_CmsStrAttVerifyFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (content != nullptr) *content = {};
    if (result != nullptr) *result = {};
    return Finish(ctx, Kind::kAttVerify, stream, [&](Stream& s) -> uint32_t {
      if (params == nullptr || result == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "VerifyParams");
      SplitMessage split;
      CmsPtr cms;
      if (uint32_t code = SplitGathered(ctx, s, &split, &cms); code != 0) return code;
      if (!IsSigned(cms.get())) return Fail(&ctx, ORLAX_E_NOT_SIGNED_MESSAGE, "DataBlob");
      if (!split.hasContent) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, "DataBlob");
      const bool wantContent = (params->flags & ORLAX_VERIFY_CONTENT) != 0 && content != nullptr;
      BioPtr source = ContentBio(s.spool.get(), split.content);
      ContentDigests digests;
      AddSignerDigests(cms.get(), &digests);
      bool writeFailed = false;
      if (!PumpThrough(source.get(), &digests, nullptr, &writeFailed)) {
        return Fail(&ctx, ORLAX_E_BAD_MESSAGE, "DataBlob");
      }
      digests.Finish();
      uint32_t code = VerifySigners(ctx, cms.get(), digests, result, params->flags);
      if (code != 0 || !wantContent) return code;
      // The part of the content not handed out by the Updates.
      s.place = split.content;
      return HandOutContent(ctx, s, true, content);
    });
  });
}

// --- detached verification -------------------------------------------------

ORLAX_API uint32_t ORLAX_CmsStrDetVerifyInitMem(LibraryContext context, const VerifyParams* /*params*/,
                                                const DataBlob* signature, StreamContext* stream) {
  return WithContext("ORLAX_CmsStrDetVerifyInitMem", context, [&](Context& ctx) -> uint32_t {
    if (stream != nullptr) *stream = nullptr;
    if (stream == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
    auto s = std::make_unique<Stream>();
    s->kind = Kind::kDetVerify;
    if (uint32_t code = LoadDetachedBlob(ctx, signature, &s->cms); code != 0) return code;
    AddSignerDigests(s->cms.get(), &s->digests);
    *stream = Publish(std::move(s));
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_CmsStrDetVerifyUpdateMem(LibraryContext context, const VerifyParams* /*params*/,
                                                  StreamContext* stream, const DataBlob* data) {
  return WithContext("ORLAX_CmsStrDetVerifyUpdateMem", context, [&](Context& ctx) -> uint32_t {
    Stream* s = Lookup(stream, Kind::kDetVerify);
    if (s == nullptr || !ValidBlob(data)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
    if (!s->digests.Update(data->data, data->length)) return Fail(&ctx, ORLAX_E_ENGINE, "digest");
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_CmsStrDetVerifyFinalMem(LibraryContext context, const VerifyParams* params,
                                                 StreamContext* stream, DataBlob* content, VerifyResult* result) {
  return WithContext("ORLAX_CmsStrDetVerifyFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (content != nullptr) *content = {};
    if (result != nullptr) *result = {};
    return Finish(ctx, Kind::kDetVerify, stream, [&](Stream& s) -> uint32_t {
      if (result == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "VerifyResult");
      s.digests.Finish();
      return VerifySigners(ctx, s.cms.get(), s.digests, result, params != nullptr ? params->flags : 0);
    });
  });
}

// --- encryption and decryption ---------------------------------------------

ORLAX_API uint32_t ORLAX_CmsStrEncryptInitMem(LibraryContext context, const EncryptParams* params,
                                              const DataBlob* first, StreamContext* stream) {
  return WithContext("ORLAX_CmsStrEncryptInitMem", context, [&](Context& ctx) -> uint32_t {
    if (stream != nullptr) *stream = nullptr;
    if (stream == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "StreamContext");
    CmsPtr cms;
    if (uint32_t code = MakeEnvelope(ctx, params, true, &cms); code != 0) return code;
    return StartWriting(ctx, Kind::kEncrypt, std::move(cms), first, stream);
  });
}

ORLAX_API uint32_t ORLAX_CmsStrEncryptUpdateMem(LibraryContext context, const EncryptParams* /*params*/,
                                                StreamContext* stream, const DataBlob* input, DataBlob* output) {
  return WithContext("ORLAX_CmsStrEncryptUpdateMem", context,
                     [&](Context& ctx) { return KeepWriting(ctx, Kind::kEncrypt, stream, input, output); });
}

ORLAX_API uint32_t ORLAX_CmsStrEncryptFinalMem(LibraryContext context, const EncryptParams* params,
                                               StreamContext* stream, DataBlob* output) {
  return WithContext("ORLAX_CmsStrEncryptFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (output != nullptr) *output = {};
    return Finish(ctx, Kind::kEncrypt, stream, [&](Stream& s) -> uint32_t {
      if (output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "output");
      return FinishWriting(ctx, s, output, [&](DataBlob* out) -> uint32_t {
        BioPtr in(BIO_new_mem_buf("", 0));
        BioPtr mem(BIO_new(BIO_s_mem()));
        if (in == nullptr || mem == nullptr) throw std::bad_alloc();
        if (uint32_t code = EncryptBio(ctx, params, in.get(), mem.get(), Encoding::kIndefinite, "DataBlob", true);
            code != 0) {
          return code;
        }
        return BioToBlob(&ctx, mem.get(), out);
      });
    });
  });
}

}  // extern "C"

namespace {

// Starts decrypting once everything before the encrypted content has arrived.
// A cipher with a MAC needs it at the start, but it follows the content: the
// decryption starts with a placeholder, and the message's own MAC is put in
// once it has arrived, before the cipher's final step compares it.
uint32_t TryStartDecryption(Context& ctx, Stream& s) {
  if (s.decryption != nullptr || s.gatherOnly) return 0;
  if (std::fflush(s.spool.get()) != 0) return Fail(&ctx, ORLAX_E_FILE_WRITE, "tmpfile");
  std::string head;
  if (!EnvelopeHeadSoFar(s.spool.get(), &head)) return 0;
  MessageOutline outline;
  BerReader reader(head);
  const EVP_CIPHER* cipher = nullptr;
  if (ReadOutline(reader, &outline) == 0 && outline.type == ORLAX_MSG_ENVELOPED) {
    GostEngine();
    std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>> oid(OBJ_txt2obj(outline.cipherOid.c_str(), 1));
    cipher = oid != nullptr ? EVP_get_cipherbyobj(oid.get()) : nullptr;
  }
  const bool withMac = cipher != nullptr && (EVP_CIPHER_get_flags(cipher) & EVP_CIPH_FLAG_CIPHER_WITH_MAC) != 0;
  if (withMac && (MacLengthOf(cipher) == 0 ||
                  !EnvelopeHeadSoFar(s.spool.get(), &head, PlaceholderMacAttributes(MacLengthOf(cipher))))) {
    cipher = nullptr;
  }
  if (cipher != nullptr) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(head.data());
    s.head.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(head.size())));
  }
  ERR_clear_error();
  if (cipher == nullptr || s.head == nullptr) {
    s.gatherOnly = true;  // Final reads the whole message and reports what is wrong
    return 0;
  }
  s.feeder = GrowingContentBio(s.spool.get());
  auto decryption = std::make_unique<Decryption>();
  if (uint32_t code = StartDecryption(ctx, s.head.get(), s.feeder.get(), "DataBlob", decryption.get()); code != 0) {
    return code;
  }
  s.decryption = std::move(decryption);
  return 0;
}

// Decrypts what has arrived so far into output, at most limit bytes.
uint32_t DecryptSoFar(Context& ctx, Stream& s, bool complete, DataBlob* output, uint64_t limit = UINT64_MAX) {
  if (std::fflush(s.spool.get()) != 0) return Fail(&ctx, ORLAX_E_FILE_WRITE, "tmpfile");
  if (complete) {
    SplitMessage split;
    if (uint32_t code = SplitStream(&ctx, s.spool.get(), "DataBlob", &split); code != 0) return code;
    if (!split.hasContent) return Fail(&ctx, ORLAX_E_BAD_MESSAGE, "DataBlob");
    s.place = split.content;
    s.placeKnown = true;
    // The message's own MAC, which the cipher compares as the content ends.
    if (MacLengthOf(s.decryption->cipher) != 0) {
      if (uint32_t code = ExpectMac(ctx, *s.decryption, EnvelopeUnprotectedAttributes(split.shell), "DataBlob");
          code != 0) {
        return code;
      }
    }
  } else if (!s.placeKnown) {
    s.placeKnown = ContentPlaceSoFar(s.spool.get(), &s.place);
  }
  if (s.placeKnown) SetContentAvailable(s.feeder.get(), s.place, s.spooled, complete);
  return ReadSoFar(ctx, s.decryption->chain.get(), complete, ORLAX_E_DECRYPT_FAILED, output, limit);
}

}  // namespace

extern "C" {

ORLAX_API uint32_t ORLAX_CmsStrDecryptInitMem(LibraryContext context, const DecryptParams* /*params*/,
                                              const DataBlob* first, StreamContext* stream) {
  return WithContext("ORLAX_CmsStrDecryptInitMem", context, [&](Context& ctx) -> uint32_t {
    if (uint32_t code = StartGathering(ctx, Kind::kDecrypt, first, stream); code != 0) return code;
    Stream* s = Lookup(stream, Kind::kDecrypt);
    if (uint32_t code = TryStartDecryption(ctx, *s); code != 0) {
      Take(stream, Kind::kDecrypt);  // a failed Init leaves no stream behind
      return code;
    }
    return 0;
  });
}

// The plaintext is handed out as the message arrives. With a MAC cipher it is
// unverified until Final has compared the MAC: a failed Final means that
// everything handed out must be thrown away.
ORLAX_API uint32_t ORLAX_CmsStrDecryptUpdateMem(LibraryContext context, const DecryptParams* /*params*/,
                                                StreamContext* stream, const DataBlob* input, DataBlob* output) {
  return WithContext("ORLAX_CmsStrDecryptUpdateMem", context, [&](Context& ctx) -> uint32_t {
    if (uint32_t code = KeepGathering(ctx, Kind::kDecrypt, stream, input, output); code != 0) return code;
    Stream* s = Lookup(stream, Kind::kDecrypt);
    if (uint32_t code = TryStartDecryption(ctx, *s); code != 0) return code;
    if (s->decryption == nullptr || output == nullptr) return 0;
    // No more than it took, as verification does: the plaintext of what the
    // Init took waits for a later call instead of doubling this piece.
    return DecryptSoFar(ctx, *s, false, output, input->length > 0 ? input->length : UINT64_MAX);
  });
}

ORLAX_API uint32_t ORLAX_CmsStrDecryptFinalMem(LibraryContext context, const DecryptParams* /*params*/,
                                               StreamContext* stream, DataBlob* output, DecryptResult* result) {
  return WithContext("ORLAX_CmsStrDecryptFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (output != nullptr) *output = {};
    if (result != nullptr) std::memset(result, 0, sizeof *result);
    return Finish(ctx, Kind::kDecrypt, stream, [&](Stream& s) -> uint32_t {
      if (output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "output");
      if (s.decryption != nullptr) {
        if (uint32_t code = DecryptSoFar(ctx, s, true, output); code != 0) return code;
        uint32_t code = FinishDecryption(ctx, *s.decryption, result, "DataBlob");
        if (code != 0) {
          ORLAX_FreeMem(context, output->data);
          *output = {};
        }
        return code;
      }
      SplitMessage split;
      CmsPtr cms;
      if (uint32_t code = SplitGathered(ctx, s, &split, &cms); code != 0) return code;
      if (!IsEnveloped(cms.get())) return Fail(&ctx, ORLAX_E_NOT_ENVELOPED_MESSAGE, "DataBlob");
      if (!split.hasContent) return Fail(&ctx, ORLAX_E_BAD_MESSAGE, "DataBlob");
      BioPtr mem(BIO_new(BIO_s_mem()));
      if (mem == nullptr) throw std::bad_alloc();
      BioPtr source = ContentBio(s.spool.get(), split.content);
      if (uint32_t code = DecryptLoaded(ctx, cms.get(), mem.get(), result, "DataBlob", source.get()); code != 0) {
        return code;
      }
      return BioToBlob(&ctx, mem.get(), output);
    });
  });
}

// --- time stamps -----------------------------------------------------------

}  // extern "C"

extern "C" {

ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsInitMem(LibraryContext context, const TspStampParams* /*params*/,
                                                  const char* /*url*/, const DataBlob* first, StreamContext* stream) {
  return WithContext("ORLAX_TspStrUrlStampCmsInitMem", context,
                     [&](Context& ctx) { return StartGathering(ctx, Kind::kStamp, first, stream); });
}

ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsUpdateMem(LibraryContext context, const TspStampParams* /*params*/,
                                                    const char* /*url*/, StreamContext* stream, const DataBlob* input,
                                                    DataBlob* output) {
  return WithContext("ORLAX_TspStrUrlStampCmsUpdateMem", context, [&](Context& ctx) -> uint32_t {
    if (uint32_t code = KeepGathering(ctx, Kind::kStamp, stream, input, output); code != 0) return code;
    return PassOnPrefix(ctx, *Lookup(stream, Kind::kStamp), output, PieceLimit(input));
  });
}

ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsFinalMem(LibraryContext context, const TspStampParams* params,
                                                   const char* url, StreamContext* stream, DataBlob* output) {
  return WithContext("ORLAX_TspStrUrlStampCmsFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (output != nullptr) *output = {};
    return Finish(ctx, Kind::kStamp, stream, [&](Stream& s) -> uint32_t {
      if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "TspStampParams");
      SplitMessage split;
      CmsPtr cms;
      if (uint32_t code = SplitGathered(ctx, s, &split, &cms); code != 0) return code;
      if (uint32_t code = StampSignature(ctx, cms.get(), params->signatureIndex, url); code != 0) return code;
      if (s.handedOut == 0 && !split.hasContent) return WriteCmsBlob(&ctx, cms.get(), Encoding::kIndefinite, output);
      return GiveRewritten(ctx, s, cms.get(), split, output);
    });
  });
}

ORLAX_API uint32_t ORLAX_TspStrVerifyCmsInitMem(LibraryContext context, const TspVerifyParams* /*params*/,
                                                const DataBlob* first, StreamContext* stream) {
  return WithContext("ORLAX_TspStrVerifyCmsInitMem", context,
                     [&](Context& ctx) { return StartGathering(ctx, Kind::kStampVerify, first, stream); });
}

ORLAX_API uint32_t ORLAX_TspStrVerifyCmsUpdateMem(LibraryContext context, const TspVerifyParams* /*params*/,
                                                  StreamContext* stream, const DataBlob* input) {
  return WithContext("ORLAX_TspStrVerifyCmsUpdateMem", context,
                     [&](Context& ctx) { return KeepGathering(ctx, Kind::kStampVerify, stream, input, nullptr); });
}

ORLAX_API uint32_t ORLAX_TspStrVerifyCmsFinalMem(LibraryContext context, const TspVerifyParams* params,
                                                 StreamContext* stream, TspVerifyResult* result) {
  return WithContext("ORLAX_TspStrVerifyCmsFinalMem", context, [&](Context& ctx) -> uint32_t {
    if (result != nullptr) *result = {};
    return Finish(ctx, Kind::kStampVerify, stream, [&](Stream& s) -> uint32_t {
      if (params == nullptr || result == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "TspVerifyParams");
      SplitMessage split;
      CmsPtr cms;
      if (uint32_t code = SplitGathered(ctx, s, &split, &cms); code != 0) return code;
      return VerifyStamp(ctx, cms.get(), params->signatureIndex, result);
    });
  });
}

}  // extern "C"
