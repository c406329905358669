// Every file-system call of the WAV writer, behind one seam so tests can fail
// the n-th write, shorten it, fill the disk, or pretend a file is 4 GiB long.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

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
};

// The file layer the writer uses; tests replace its members and restore them.
extern FileIo g_fileIo;

// The real file layer.
FileIo SystemFileIo();

// The system's text for an error code, on one line without its final period.
void ErrorText(DWORD error, char* text, size_t size);
