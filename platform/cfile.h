#pragma once
// The class library's file object (CFile) and its exceptions (CException,
// CFileException), over the layer's CreateFileW/ReadFile/WriteFile.
//
// Exceptions are thrown as pointers made with new, as the class library
// does. The catcher owns the object and releases it with Delete():
//
//   try { file.Write(data, size); }
//   catch (CFileException* e) { code = e->m_cause; e->Delete(); }
//
// An exception object given to Open by the caller (usually on the stack) is
// only filled in; its Delete() does nothing.
//
// A CFile object is used by one thread at a time.

#include "platform/cstring.h"
#include "platform/windows_types.h"

class CException {
 public:
  // autoDelete: Delete() frees the object (set for thrown exceptions).
  explicit CException(BOOL autoDelete = FALSE) : m_bAutoDelete(autoDelete) {}
  virtual ~CException() = default;
  CException(const CException&) = default;
  CException& operator=(const CException&) = default;

  // Frees a thrown exception; does nothing for one the caller made itself.
  void Delete();

  BOOL m_bAutoDelete;
};

class CFileException : public CException {
 public:
  // The class library's cause numbers; the system reports them as result
  // codes of failed file work.
  enum {
    none = 0,
    genericException = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    removeCurrentDir = 7,
    directoryFull = 8,
    badSeek = 9,
    hardIO = 10,
    sharingViolation = 11,
    lockViolation = 12,
    diskFull = 13,
    endOfFile = 14,
  };

  explicit CFileException(int cause = none, LONG osError = -1, LPCWSTR fileName = nullptr);

  // The cause that stands for a Windows error code: 2 and 18 file not found,
  // 3/15/123/161/206/267 bad path, 4 too many open files, 5/19/65/80/183
  // access denied, 32 sharing violation, 33 lock violation, 38 end of file,
  // 25/131 bad seek, 21/30/31/1117 hard I/O, 39/112 disk full (223, a file
  // over the size limit, and 1295, a full quota, count as disk full too);
  // 0 none; any other code generic (1).
  static int OsErrorToException(LONG osError);
  // The cause for a POSIX errno value (through the Windows code).
  static int ErrnoToException(int errnoValue);

  int m_cause;
  LONG m_lOsError;     // the Windows code, -1 when there is none
  CString m_strFileName;
};

// Throws a new CFileException (see the ownership rule above).
[[noreturn]] void AfxThrowFileException(int cause, LONG osError = -1, LPCWSTR fileName = nullptr);

// Read, Write and Close are virtual, as in the class library, so that a
// file object of another kind (a test's failing file) can stand in where a
// CFile is read or written.
class CFile {
 public:
  // Open flags, with the class library's values (0x9011 = modeWrite |
  // shareExclusive | modeCreate | typeBinary).
  enum OpenFlags : UINT {
    modeRead = 0x00000,
    modeWrite = 0x00001,
    modeReadWrite = 0x00002,
    shareCompat = 0x00000,     // same as shareExclusive
    shareExclusive = 0x00010,  // no other handle may open the file
    shareDenyWrite = 0x00020,  // others may read
    shareDenyRead = 0x00030,   // others may write
    shareDenyNone = 0x00040,   // others may read and write
    modeNoInherit = 0x00080,
    modeCreate = 0x01000,      // create, or truncate an existing file
    modeNoTruncate = 0x02000,  // with modeCreate: keep an existing file's data
    typeText = 0x04000,        // ignored by CFile
    typeBinary = 0x08000,      // ignored by CFile (raw bytes always)
    osNoBuffer = 0x10000,
    osWriteThrough = 0x20000,
    osRandomAccess = 0x40000,
    osSequentialScan = 0x80000,
    // Not the class library's: a new file is created with
    // FILE_ATTRIBUTE_TEMPORARY, readable by its owner only (0600).
    osTemporary = 0x100000,
    // Not the class library's either: a name that is a symbolic link is not
    // followed, and the open fails (a journal in a folder others may write).
    osNoFollow = 0x200000,
  };

  enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

  static inline const HANDLE hFileNull = INVALID_HANDLE_VALUE;

  CFile();
  // Takes over an open handle; it is closed with the object.
  explicit CFile(HANDLE file);
  // Opens the file or throws CFileException* (see Open for the causes).
  CFile(LPCWSTR fileName, UINT openFlags);
  // Closes the file if open; never throws (errors of that last close are
  // lost, as they would be in a destructor).
  virtual ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens or creates the file by the flags. TRUE on success. On failure
  // FALSE, and when error is given it receives the cause (from the Windows
  // code: file not found 2, bad path 3, access denied 5, sharing violation
  // 11 ...), the Windows code in m_lOsError and the name in m_strFileName.
  // An object that is already open fails with genericException and 87.
  BOOL Open(LPCWSTR fileName, UINT openFlags, CFileException* error = nullptr);

  // Reads up to count bytes; returns the number read (0 at the end of the
  // file). Throws CFileException* when the read fails.
  virtual UINT Read(void* buffer, UINT count);
  // Writes all count bytes or throws CFileException*: cause 13 (diskFull)
  // when the disk or the size limit is reached, or when fewer bytes were
  // written; other causes from the Windows code.
  virtual void Write(const void* buffer, UINT count);

  // Moves the position and returns the new one; throws on failure (a
  // position before the start gives badSeek).
  ULONGLONG Seek(LONGLONG offset, UINT from);
  void SeekToBegin() { Seek(0, begin); }
  ULONGLONG SeekToEnd() { return Seek(0, end); }
  ULONGLONG GetLength() const;      // throws on failure
  ULONGLONG GetPosition() const;    // throws on failure
  // Cuts or extends the file to newLength bytes; the position is left there.
  void SetLength(ULONGLONG newLength);
  void Flush();                      // throws on failure; nothing when not open

  // Closes the file; throws when the system reports a failure (the object
  // is closed all the same). Nothing when not open.
  virtual void Close();
  // Closes the file ignoring every error; never throws.
  void Abort();

  CString GetFilePath() const { return m_strFileName; }  // full path
  CString GetFileName() const;                           // last component
  operator HANDLE() const { return m_hFile; }

  HANDLE m_hFile;

 protected:
  [[noreturn]] void ThrowLastError() const;

  BOOL m_bCloseOnDelete;
  CString m_strFileName;
};
