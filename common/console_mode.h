// QuickEdit off while a console program runs: a click in its window would start
// a selection, and the console holds every write until the selection ends.
#pragma once

// Turns QuickEdit off in the console the program runs in, keeping its mode to
// restore; does nothing without a console or when QuickEdit is off already. A
// Ctrl+C, Ctrl+Break or close that ends the program by default restores it too.
void QuickEditOff();

// Gives the console back the mode QuickEditOff found; harmless when it changed
// nothing, and twice.
void QuickEditRestore();
