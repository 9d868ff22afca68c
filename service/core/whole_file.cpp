#include "service/core/whole_file.h"

#include <memory>
#include <new>

#include "platform/cfile.h"
#include "platform/errors.h"
#include "service/core/result_codes.h"

DWORD ReadWholeFile(LPCWSTR path, int* stage, DataBlob* blob) {
  CFile file;
  CFileException error;
  if (!file.Open(path, CFile::modeRead | CFile::shareExclusive | CFile::typeBinary, &error)) {
    *stage = kWholeFileStageOpen;
    return static_cast<DWORD>(error.m_cause);
  }
  ULONGLONG length = 0;
  try {
    length = file.GetLength();
  } catch (CFileException* e) {
    DWORD cause = static_cast<DWORD>(e->m_cause);
    e->Delete();
    *stage = kWholeFileStageSize;
    return cause;
  }
  if (length == 0 || length > kMaxBlockFileSize) {
    *stage = kWholeFileStageSize;
    return ERR_FILE_SIZE_UNSUPPORTED;
  }
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[length + 1]());
  if (!buffer) {
    *stage = kWholeFileStageRead;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // One read may deliver less than asked for a large file; read on until the
  // length is reached, and fail when the file ends before it.
  ULONGLONG done = 0;
  try {
    while (done < length) {
      UINT n = file.Read(buffer.get() + done, static_cast<UINT>(length - done));
      if (n == 0) break;
      done += n;
    }
  } catch (CFileException* e) {
    DWORD cause = static_cast<DWORD>(e->m_cause);
    e->Delete();
    *stage = kWholeFileStageRead;
    return cause;
  }
  if (done != length) {
    *stage = kWholeFileStageRead;
    return CFileException::endOfFile;
  }
  blob->length = static_cast<uint32_t>(length);
  blob->data = buffer.release();
  return 0;
}

DWORD WriteWholeFile(LPCWSTR path, int* stage, const DataBlob& blob) {
  CFile file;
  CFileException error;
  if (!file.Open(path, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary | CFile::osTemporary,
                 &error)) {
    *stage = kWholeFileStageOpen;
    return static_cast<DWORD>(error.m_cause);
  }
  try {
    file.SeekToEnd();
    if (blob.length > 0) file.Write(blob.data, blob.length);
    file.Close();  // a failure to close may lose written data: report it
  } catch (CFileException* e) {
    DWORD cause = static_cast<DWORD>(e->m_cause);
    e->Delete();
    *stage = kWholeFileStageWrite;
    return cause;
  }
  return 0;
}
