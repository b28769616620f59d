#pragma once

#include <functional>

class TSRegForm;

// Starts the program: the application object, the main window, and the event loop until the
// program ends. beforeShow, when given, sees the main window before it is first shown.
int RunTessaro(int argc, char* argv[], const std::function<void(TSRegForm&)>& beforeShow = {});
