// The tool's main routine. It restores the attribute view "db\attview.xml" beside
// the executable from the view file given as its one argument, using the
// attribute database "db\adb" beside it, and reports each step on the console.
#pragma once

// argv holds ANSI text in the engine's path form. Returns the process exit code:
// 0 after a complete run, -1 after any failure. Before returning it waits for one
// character on standard input.
int RecoveryMain(int argc, char** argv);
