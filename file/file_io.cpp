#include "file_io.h"

#include <stdio.h>
#include <string.h>

static HANDLE Create(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
}

static bool Write(HANDLE file, const void* bytes, uint32_t count, uint32_t* written) {
  DWORD done = 0;
  BOOL ok = WriteFile(file, bytes, count, &done, nullptr);
  *written = done;
  return ok != FALSE;
}

static bool Seek(HANDLE file, int64_t offset, DWORD method) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  return SetFilePointerEx(file, distance, nullptr, method) != FALSE;
}

static bool Truncate(HANDLE file) {
  return SetEndOfFile(file) != FALSE;
}

static void Close(HANDLE file) {
  CloseHandle(file);
}

static bool Remove(const char* name) {
  return DeleteFileA(name) != FALSE;
}

static int64_t SizeOf(const char* name) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data)) return -1;
  return int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

static DWORD LastError() {
  return GetLastError();
}

static bool Flush(HANDLE file) {
  return FlushFileBuffers(file) != FALSE;
}

static void List(const char* pattern, FileFound found, void* context) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    found(data.cFileName, int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow),
          context);
  } while (FindNextFileA(search, &data));
  FindClose(search);
}

static int64_t FreeSpace() {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(nullptr, &available, nullptr, nullptr)) return -1;
  return int64_t(available.QuadPart);
}

static int64_t DiskSize() {
  ULARGE_INTEGER available, total;
  if (!GetDiskFreeSpaceExA(nullptr, &available, &total, nullptr)) return -1;
  return int64_t(total.QuadPart);
}

static bool Rename(const char* from, const char* to) {
  return MoveFileExA(from, to, 0) != FALSE;
}

FileIo SystemFileIo() {
  FileIo io = {Create,    Write, Seek, Truncate,  Close,    Remove, SizeOf,
               LastError, Flush, List, FreeSpace, DiskSize, Rename};
  return io;
}

FileIo g_fileIo = SystemFileIo();

void ErrorText(DWORD error, char* text, size_t size) {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, DWORD(size), nullptr);
  if (n == 0) snprintf(text, size, "error %lu", static_cast<unsigned long>(error));
  size_t length = strlen(text);
  while (length > 0 && strchr("\r\n .", text[length - 1])) text[--length] = '\0';
}
