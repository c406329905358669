#include "file_io.h"

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

static void Close(HANDLE file) {
  CloseHandle(file);
}

static int64_t SizeOf(const char* name) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data)) return -1;
  return int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

FileIo SystemFileIo() {
  FileIo io = {Create, Write, Seek, Close, SizeOf};
  return io;
}

FileIo g_fileIo = SystemFileIo();
