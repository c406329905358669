// The script's steps.
#pragma once

#include "host.h"

struct Step {
  const char* name;
  bool takesNumber;  // the next word of the script is its whole number
  bool needsPlugin;  // refused once the plug-in is unloaded
  bool reopens;      // the dialog reopens the band inside the step
  bool elsewhere;    // with --other-thread, runs on a thread of its own
  void (*run)(long number);
};

const Step* FindStep(const char* name);

// The plug-in's path, for the reload step.
void RememberPath(const char* path);
