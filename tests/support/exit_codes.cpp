// exit_codes: a stand-in for a VEXA program that ends with the exit codes it is
// told to, so the tests can drive the batch files' loops through every case.
//
//   set VEXA_EXIT_CODES=1,-1073741819,0   and   set VEXA_EXIT_LOG=<file>
//
// Each run appends its command line's arguments to the log as one line; the
// number of lines already there picks the code (the last one repeats).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const int kListSize = 1024;

// The count-th code of the comma-separated list (the last when it runs out).
static UINT CodeOfRun(const char* list, int count) {
  long code = 0;
  const char* p = list;
  for (int i = 0; i <= count && *p; i++) {
    char* end = nullptr;
    code = strtol(p, &end, 10);
    p = *end == ',' ? end + 1 : end;
  }
  return UINT(code);
}

static int LinesIn(FILE* log) {
  int lines = 0;
  for (int c = fgetc(log); c != EOF; c = fgetc(log)) lines += c == '\n';
  return lines;
}

int main(int argc, char** argv) {
  char list[kListSize];
  char path[MAX_PATH];
  if (!GetEnvironmentVariableA("VEXA_EXIT_CODES", list, kListSize) ||
      !GetEnvironmentVariableA("VEXA_EXIT_LOG", path, MAX_PATH)) {
    fprintf(stderr, "exit_codes: set VEXA_EXIT_CODES and VEXA_EXIT_LOG\n");
    return 99;
  }
  FILE* log = fopen(path, "a+");
  if (!log) {
    fprintf(stderr, "exit_codes: can't open %s\n", path);
    return 99;
  }
  rewind(log);
  int runs = LinesIn(log);
  fseek(log, 0, SEEK_END);  // a stream read to its end is positioned before a write
  for (int i = 1; i < argc; i++) fprintf(log, "%s%s", i > 1 ? " " : "", argv[i]);
  fprintf(log, "\n");
  fclose(log);
  UINT code = CodeOfRun(list, runs);
  printf("exit_codes: run %d ends with %d\n", runs + 1, int(code));
  fflush(stdout);
  ExitProcess(code);
}
