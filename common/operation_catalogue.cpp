#include "common/operation_catalogue.h"

#include <array>

namespace {

using enum Operation;
constexpr ArchiveUse kNoArchive = ArchiveUse::kNone;
constexpr ArchiveUse kOptionalArchive = ArchiveUse::kOptional;
constexpr ArchiveUse kArchive = ArchiveUse::kRequired;

// operation, code, display name, writes output, searches recipients, checks
// signers, re-signs, chooses mode, directory profile, archive
constexpr std::array<OperationTraits, kOperationCount> kCatalogue = {{
    {kEncr, L"ENCR", L"Зашифровать", true, true, false, false, false, true, kOptionalArchive},
    {kDecr, L"DECR", L"Расшифровать", true, false, false, false, false, true, kOptionalArchive},
    {kHash, L"HASH", L"Хэшировать файл", true, false, false, false, false, true, kNoArchive},
    {kB64e, L"B64E", L"Закодировать в b64", true, false, false, false, false, false, kNoArchive},
    {kB64d, L"B64D", L"Раскодировать из b64", true, false, false, false, false, false, kNoArchive},
    {kSign, L"SIGN", L"Добавить присоединённую подпись", true, false, false, false, true, true, kNoArchive},
    {kChck, L"CHCK", L"Проверить присоединённую подпись", true, false, true, false, false, true, kNoArchive},
    {kChkx, L"CHKX", L"Проверить и Удалить присоединённую подпись", true, false, true, false, false, true,
     kNoArchive},
    {kMove, L"MOVE", L"Переместить", true, false, false, false, false, false, kNoArchive},
    {kDele, L"DELE", L"Удалить", false, false, false, false, false, false, kNoArchive},
    {kLenc, L"LENC", L"Зашифровать большой файл", true, true, false, false, false, true, kOptionalArchive},
    {kLdec, L"LDEC", L"Расшифровать большой файл", true, false, false, false, false, true, kOptionalArchive},
    {kCdsg, L"CDSG", L"Создать отсоединённую подпись", true, false, false, false, false, true, kNoArchive},
    {kDsig, L"DSIG", L"Добавить отсоединённую подпись", true, false, false, false, false, true, kNoArchive},
    {kDchk, L"DCHK", L"Проверить отсоединённую подпись", true, false, true, false, false, true, kNoArchive},
    {kDels, L"DELS", L"Удалить подпись без проверки", true, false, false, false, false, true, kNoArchive},
    {kResg, L"RESG", L"Переподписать", true, false, true, true, false, true, kNoArchive},
    {kSgen, L"SGEN", L"Добавить присоединённую подпись и зашифровать", true, true, false, false, true, true,
     kOptionalArchive},
    {kDccx, L"DCCX", L"Расшифровать, проверить и удалить присоединённую подпись", true, false, true, false,
     false, true, kOptionalArchive},
    {kArch, L"ARCH", L"Архивировать файл", true, false, false, false, false, false, kArchive},
    {kUnar, L"UNAR", L"Разархивировать файл", true, false, false, false, false, false, kArchive},
    {kPack, L"PACK", L"Упаковать файлы", true, false, false, false, false, false, kNoArchive},
    {kUnpk, L"UNPK", L"Распаковать файлы", true, false, false, false, false, false, kNoArchive},
    {kExec, L"EXEC", L"Исполнить", false, false, false, false, false, false, kNoArchive},
}};

constexpr bool InOrder() {
  for (int i = 0; i < kOperationCount; ++i) {
    if (static_cast<int>(kCatalogue[static_cast<size_t>(i)].operation) != i) return false;
  }
  return true;
}
static_assert(InOrder(), "the catalogue is indexed by Operation");


}  // namespace

std::span<const OperationTraits> OperationCatalogue() { return kCatalogue; }

const OperationTraits& TraitsOf(Operation operation) { return kCatalogue[static_cast<size_t>(operation)]; }

const OperationTraits* FindOperation(const CString& code) {
  for (const OperationTraits& traits : kCatalogue) {
    if (code == traits.code) return &traits;
  }
  return nullptr;
}

bool IsOperation(const CString& code, Operation operation) { return code == TraitsOf(operation).code; }

bool OperationHas(const CString& code, bool OperationTraits::*trait) {
  const OperationTraits* traits = FindOperation(code);
  return traits != nullptr && traits->*trait;
}

ArchiveUse ArchiveUseOf(const CString& code) {
  const OperationTraits* traits = FindOperation(code);
  return traits != nullptr ? traits->archive : ArchiveUse::kNone;
}

CString OperationDisplayName(const CString& code) {
  const OperationTraits* traits = FindOperation(code);
  return traits != nullptr ? CString(traits->displayName) : code;
}

const wchar_t* EncAlgorithmName(int value) {
  if (value < 0 || value >= kEncAlgorithmCount) return nullptr;
  return kEncAlgorithmNames[static_cast<size_t>(value)];
}
