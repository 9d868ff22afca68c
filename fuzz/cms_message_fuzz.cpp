// The cryptographic library's readers of outside messages: the outline of a
// message (memory and file), the split of a message file into shell and
// content, attached verification, signature removal, decryption and stamp
// checks, all on a context without keys. Whatever the bytes, each must
// answer with a code, without reading outside its input or leaking.

#include <cstdint>
#include <filesystem>

#include "common/qelm_api.h"
#include "fuzz/fuzz_scratch.h"

// The GOST engine's own leak in ciphers with a MAC is not the library's.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:gost2015_process_unprotected_attributes\n";
}

namespace {

LibraryContext Context() {
  static LibraryContext context = [] {
    fuzz::Scratch();
    LibraryContext c = nullptr;
    ORLAX_InitMinimal(&c);
    return c;
  }();
  return context;
}

void Drain(LibraryContext context) {
  DataBlob text{}, file{}, data{};
  uint32_t line = 0;
  while (ORLAX_GetErrorLineEx(context, &text, &file, &line, &data) == 0) {
    ORLAX_FreeMem(context, text.data);
    ORLAX_FreeMem(context, file.data);
    ORLAX_FreeMem(context, data.data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LibraryContext ctx = Context();
  DataBlob input{static_cast<uint32_t>(size), const_cast<uint8_t*>(data)};
  MessageInfo info{};
  ORLAX_CmsBlkMsgInfMem(ctx, &input, &info, 0);
  ORLAX_CmsFreeMsgInf(ctx, &info);

  VerifyParams verify{};
  verify.flags = ORLAX_VERIFY_CONTENT | ORLAX_VERIFY_NOT_COPY_TO_LOCAL;
  VerifyResult verified{};
  DataBlob content{};
  ORLAX_CmsBlkAttVerifyMem(ctx, &verify, &input, &content, &verified);
  ORLAX_FreeVerifyResult(ctx, &verified);
  ORLAX_FreeMem(ctx, content.data);

  const std::filesystem::path file = fuzz::WriteInput("message", data, size);
  const std::filesystem::path out = fuzz::Scratch() / "out", sigs = fuzz::Scratch() / "sigs";
  ORLAX_CmsStrMsgInfFile(ctx, file.c_str(), &info, 0);
  ORLAX_CmsFreeMsgInf(ctx, &info);
  ORLAX_CmsStrAttVerifyFile(ctx, &verify, file.c_str(), out.c_str(), &verified);
  ORLAX_FreeVerifyResult(ctx, &verified);
  ORLAX_CmsStrSignDetachFile(ctx, file.c_str(), out.c_str(), sigs.c_str(), 0);
  DecryptParams decrypt{0, 0, 0, 0x8003, 0};
  DecryptResult decrypted{};
  ORLAX_CmsStrDecryptFile(ctx, &decrypt, file.c_str(), out.c_str(), &decrypted);
  ORLAX_FreeDecryptResult(ctx, &decrypted);
  TspVerifyParams stamp{0, 0, 0, 0, 3};
  TspVerifyResult stamped{};
  ORLAX_TspStrVerifyCmsFile(ctx, &stamp, file.c_str(), &stamped);
  ORLAX_TspFreeVerifyResult(ctx, &stamped);
  std::error_code ec;
  std::filesystem::remove(out, ec);
  std::filesystem::remove(sigs, ec);
  Drain(ctx);
  return 0;
}
