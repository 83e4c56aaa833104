#pragma once
// Finding and loading the suite's modules and programs, and starting programs.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::platform {

// Maps a Windows module or program name to its Linux file name:
// "SOFTTOK.DLL" -> "libsofttok.so", "ZYPPANEL.CPL" -> "libzyppanel.so",
// "ZYPSERVER.EXE" -> "zypserver". A name with a '/' or another ending is kept.
std::string linux_file_name(std::string_view windows_name);

// The installed file for a module or program name: the suite's lib folder
// (modules) or bin folder (programs) first, beside the running binary
// (<prefix>/lib, <prefix>/bin), then for modules the loader's search path and
// for programs $PATH. Empty when not found.
std::optional<std::string> find_module(std::string_view windows_name);
std::optional<std::string> find_program(std::string_view windows_name);

// dlopen through the name mapping above (LoadLibrary); null when it cannot be
// loaded. dlerror's text goes to *error when given.
void* load_module(std::string_view windows_name, std::string* error = nullptr);
void* module_symbol(void* module, const char* symbol);  // GetProcAddress
void unload_module(void* module);                       // FreeLibrary

// Starts `program` (a Windows or Linux name, looked up as above) with `args`
// in the caller's environment. With wait, returns the exit status (or 128 +
// signal number); without, returns 0 once started. -1 when it cannot start.
int spawn_program(std::string_view program, const std::vector<std::string>& args, bool wait,
                  pid_t* child = nullptr);
// The same, waiting, with the program's standard output thrown away.
int run_program_quietly(std::string_view program, const std::vector<std::string>& args);

// Waits for a program started without waiting (the caller must reap every
// such child, or have SIGCHLD ignored, to leave no zombie): its exit status,
// 128 + signal number, or -1 when `child` is not a child of this process.
int wait_for_program(pid_t child);

// The folder of the file that holds this code (the program, or the shared
// library it is linked into); the suite's lib and bin folders are found from it.
std::optional<std::string> running_binary_folder();

}  // namespace zyp::platform
