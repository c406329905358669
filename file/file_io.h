// Every file-system call of the WAV writer and the budget, behind one seam so
// tests can fail the n-th write, shorten it, fill the disk, pretend a file is
// 4 GiB long, or fill the folder.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

typedef void (*FileFound)(const char* name, int64_t bytes, void* context);

struct FileIo {
  // CreateFileA for reading and writing, shared for reading, replacing a file of
  // the same name; INVALID_HANDLE_VALUE on failure.
  HANDLE (*create)(const char* name);
  // WriteFile at the current position; *written is what reached the file.
  bool (*write)(HANDLE file, const void* bytes, uint32_t count, uint32_t* written);
  // Moves the file position: method FILE_BEGIN or FILE_END.
  bool (*seek)(HANDLE file, int64_t offset, DWORD method);
  // Ends the file at the current position (SetEndOfFile).
  bool (*truncate)(HANDLE file);
  void (*close)(HANDLE file);
  // Deletes a closed file.
  bool (*remove)(const char* name);
  // Length of an existing file, or -1 when there is none.
  int64_t (*sizeOf)(const char* name);
  // The error of the latest failed call (GetLastError): ask before any other call.
  DWORD (*lastError)();
  // Hands what the system still holds of the file to the disk (FlushFileBuffers).
  bool (*flush)(HANDLE file);
  // Calls found with the name and length of every file of the current folder
  // that matches pattern (FindFirstFileA wildcards).
  void (*list)(const char* pattern, FileFound found, void* context);
  // Bytes this user may still write on the current folder's disk, or -1.
  int64_t (*freeSpace)();
  // Bytes the current folder's disk holds in all, or -1.
  int64_t (*diskSize)();
  // Renames a closed file; fails when a file of the new name exists.
  bool (*rename)(const char* from, const char* to);
};

// The file layer the writer uses; tests replace its members and restore them.
extern FileIo g_fileIo;

// The real file layer.
FileIo SystemFileIo();

// The system's text for an error code, on one line without its final period.
void ErrorText(DWORD error, char* text, size_t size);
