#pragma once
// Fuzz entry points for the toolbox's input parsers: an archive for ZYPUnZip
// and a registry file for ZYPRegImport. Each runs the call on the input in a
// work folder below $TMPDIR and returns what went wrong beyond a plain
// failure result: an empty text when nothing did.
//
// Run them only with ZYP_USER_DIR and ZYP_MACHINE_DIR pointing at throwaway
// folders: ZYPRegImport writes into the registry hives found there.
#include <cstddef>
#include <cstdint>
#include <string>

namespace zyp::fuzz {

// Unpacks the input into a fresh destination that holds a symbolic link to
// a folder beside it; reports any file made or changed outside the destination.
std::string unzip_input(const uint8_t* data, size_t size);

// Imports the input as a registry file; reports a crash-free run that left
// anything beside the input file in its folder. The hives are emptied after.
std::string regimport_input(const uint8_t* data, size_t size);

}  // namespace zyp::fuzz
