// Console output that never holds up the thread that prints it. A console
// whose window shows a selection (or a pipe nobody reads) blocks every write;
// while the queue runs, text goes into fixed slots and a writer thread of its
// own waits on the console instead.
#pragma once

#include <stddef.h>
#include <stdio.h>

// How the writer puts text out (fwrite, then fflush); tests replace it.
extern void (*g_consoleWrite)(FILE* stream, const char* text, size_t length);

// From now on ConsolePrintf queues its text. Only one thread may print
// through the queue, and it must print nothing directly on the same streams
// while the queue runs: the writer may hold their locks. Without a thread it
// prints directly.
void ConsoleQueueStart();

// Lets the writer put out what is queued, waiting at most a few seconds for a
// console held up; ConsolePrintf prints directly again. Harmless twice.
void ConsoleQueueStop();

// printf to stream; while the queue runs, text that finds every slot taken is
// dropped and counted, and the count is printed when there is room again.
void ConsolePrintf(FILE* stream, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;
