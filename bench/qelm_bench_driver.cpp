// One library operation on one file, for bench/qelm_bench.sh, which times it
// with /usr/bin/time next to the same work done by openssl.
//
//   qelm_bench_driver <operation> <pse> <local> <input> <output>
//   operations: sign-str, sign-blk, verify-str, encrypt-str, encrypt-blk,
//               decrypt-str, decrypt-blk, hash
// Encryption is to the PSE's own certificate with kuznyechik-ctr-acpkm.
// Exit code 0 on success; otherwise the code and the error stack on stderr.

#include <cstdio>
#include <cstring>
#include <string>

#include "common/qelm_api.h"

namespace {

void PrintStack(LibraryContext context) {
  DataBlob text{}, file{}, data{};
  uint32_t line = 0;
  while (ORLAX_GetErrorLineEx(context, &text, &file, &line, &data) == 0) {
    std::fprintf(stderr, "  %s (%s:%u) %s\n", reinterpret_cast<char*>(text.data), reinterpret_cast<char*>(file.data),
                 line, reinterpret_cast<char*>(data.data));
    ORLAX_FreeMem(context, text.data);
    ORLAX_FreeMem(context, file.data);
    ORLAX_FreeMem(context, data.data);
  }
}

uint32_t Encrypt(LibraryContext ctx, bool stream, const char* in, const char* out) {
  CertQuery query{};
  FindResult found{};
  uint32_t code = ORLAX_FindCert(ctx, &query, &found);
  if (code != 0) return code;
  EncryptParams params{};
  params.cipherFlags = ORLAX_CIPHER_KUZNYECHIK;
  params.certCount = 1;
  params.certs = found.certs;
  code = stream ? ORLAX_CmsStrEncryptFile(ctx, &params, in, out) : ORLAX_CmsBlkEncryptFile(ctx, &params, in, out);
  ORLAX_FreeFindResult(ctx, &found);
  return code;
}

uint32_t Run(LibraryContext ctx, const std::string& op, const char* in, const char* out) {
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  DecryptParams decrypt{0, 0, 0, 0x8003, 0};
  DecryptResult decrypted{};
  VerifyParams verify{};
  VerifyResult verified{};
  uint32_t code = ORLAX_E_INVALID_ARGUMENT;
  if (op == "sign-str") code = ORLAX_CmsStrAttSignFile(ctx, &sign, in, out);
  if (op == "sign-blk") code = ORLAX_CmsBlkAttSignFile(ctx, &sign, in, out);
  if (op == "verify-str") {
    verify.flags = ORLAX_VERIFY_CONTENT | ORLAX_VERIFY_NOT_COPY_TO_LOCAL;
    code = ORLAX_CmsStrAttVerifyFile(ctx, &verify, in, out, &verified);
    ORLAX_FreeVerifyResult(ctx, &verified);
  }
  // Detached forms: out is the signature, written by detsign and read by detverify.
  if (op == "detsign-str") code = ORLAX_CmsStrDetSignFile(ctx, &sign, in, nullptr, out);
  if (op == "detsign-blk") code = ORLAX_CmsBlkDetSignFile(ctx, &sign, in, nullptr, out);
  if (op == "detverify-str" || op == "detverify-blk") {
    verify.flags = ORLAX_VERIFY_NOT_COPY_TO_LOCAL;
    code = op == "detverify-str" ? ORLAX_CmsStrDetVerifyFile(ctx, &verify, in, out, nullptr, &verified)
                                 : ORLAX_CmsBlkDetVerifyFile(ctx, &verify, in, out, nullptr, &verified);
    ORLAX_FreeVerifyResult(ctx, &verified);
  }
  if (op == "encrypt-str") code = Encrypt(ctx, true, in, out);
  if (op == "encrypt-blk") code = Encrypt(ctx, false, in, out);
  if (op == "decrypt-str" || op == "decrypt-blk") {
    code = op == "decrypt-str" ? ORLAX_CmsStrDecryptFile(ctx, &decrypt, in, out, &decrypted)
                               : ORLAX_CmsBlkDecryptFile(ctx, &decrypt, in, out, &decrypted);
    ORLAX_FreeDecryptResult(ctx, &decrypted);
  }
  if (op == "hash") {
    DataBlob digest{};
    code = ORLAX_StrHashFile(ctx, "1.2.643.7.1.1.2.2", in, &digest);
    FILE* f = std::fopen(out, "wb");
    if (f != nullptr) {
      for (uint32_t i = 0; i < digest.length; ++i) std::fprintf(f, "%02x", digest.data[i]);
      std::fprintf(f, "\n");
      std::fclose(f);
    }
    ORLAX_FreeMem(ctx, digest.data);
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <operation> <pse> <local> <input> <output>\n", argv[0]);
    return 2;
  }
  InitParams init{};
  init.size = sizeof init;
  init.flags = ORLAX_INIT_NOT_COPY_TO_LOCAL;
  init.pse = argv[2];
  init.local = argv[3];
  LibraryContext ctx = nullptr;
  uint32_t code = ORLAX_InitializeEx(1, &init, &ctx);
  if (code != 0) {
    std::fprintf(stderr, "ORLAX_InitializeEx: 0x%X\n", code);
    PrintStack(nullptr);
    return 1;
  }
  code = Run(ctx, argv[1], argv[4], argv[5]);
  if (code != 0) {
    std::fprintf(stderr, "%s: 0x%X\n", argv[1], code);
    PrintStack(ctx);
  }
  ORLAX_Uninitialize(ctx);
  return code == 0 ? 0 : 1;
}
