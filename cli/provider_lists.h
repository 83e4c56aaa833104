#pragma once
// What the commands ask of the provider again and again: the token to work
// on, the lists of tokens, algorithms and keys, and key identifiers as text.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "zyp/zypprov.h"

namespace zyp::cli {

inline constexpr uint16_t kAlgorithmTypes[] = {ZYPCIP_TYPE_ENCRYPTION, ZYPCIP_TYPE_SIGNATURE};

// --token N, else the primary token. UsageError for a value that is no token number.
uint32_t chosen_token(const Invocation& invocation);

// A whole list through the count-then-fill protocol of the list calls.
// Throws Failed("cannot WHAT: ...") when the call fails.
using ListCall = std::function<int(ZYPCIPListEntry* list, uint32_t* count)>;
std::vector<ZYPCIPListEntry> fetch_list(const ListCall& call, std::string_view what, uint32_t token);

std::vector<ZYPCIPListEntry> list_tokens(std::string_view what);
std::vector<ZYPCIPListEntry> list_algorithms(uint32_t token, uint16_t type, std::string_view what);
std::vector<ZYPCIPListEntry> list_keys(uint32_t token, uint32_t mechanism, uint16_t type, std::string_view what);

// Throws Failed when the module has no such token.
void require_token(uint32_t token, std::string_view what);
// Throws Failed, saying how to log in, when the token has no logged-in session.
void require_session(uint32_t token, std::string_view what);

struct Algorithm {
  uint32_t mechanism;
  uint16_t type;
  std::string name;  // as the token lists it; "0x%08X" when it has none
};

// The token's encryption and signature algorithms, in that order.
std::vector<Algorithm> token_algorithms(uint32_t token, std::string_view what);
// The algorithm named `name` (its listed name, without regard to case, or its
// mechanism number as 0xHEX). Throws Failed when the token has none such.
Algorithm find_algorithm(uint32_t token, std::string_view name, std::string_view what);

// An entry's name, with control characters shown as '?' so that a label
// cannot steer the terminal.
std::string printable_name(const ZYPCIPListEntry& entry);
std::string printable(std::string_view text);

// Key identifiers as 8 upper-case hexadecimal digits, and back (1 to 8
// digits, an optional 0x). UsageError for anything else.
std::string key_id_text(uint32_t key);
uint32_t parse_key_id(std::string_view text);

}  // namespace zyp::cli
