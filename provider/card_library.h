#pragma once
// The smart-card library ZYPCARD.DLL (libzypcard.so) as the provider calls
// it for the card copy. The library is not part of the suite; these are the
// functions the provider looks up and what it expects of them. Every
// function returns 0 on success and nonzero on failure.
#include <cstdint>

namespace zyp::prov::card {

inline constexpr char kLibrary[] = "ZYPCARD.DLL";
inline constexpr uint32_t kSerialSize = 16;
inline constexpr uint32_t kUnblockingCodeSize = 4;

extern "C" {
// Asks the user to insert a card (the library shows the prompt and waits);
// fails when the user gives up.
using InsertCard = int (*)(const char* prompt, const char* caption);
// The serial number of the inserted card.
using GetSerialNumber = int (*)(uint8_t serial[kSerialSize]);
// Asks for the card's PIN and presents it.
using PresentPin = int (*)(void);
// Reads `length` bytes of record `record`.
using ReadRecord = int (*)(uint32_t record, uint8_t* data, uint32_t length);
// Shows the prompt and waits until the card is removed.
using RemoveCard = int (*)(const char* prompt, const char* caption);
// The unblocking code of the card with this serial number.
using CalcUnblockingCode = int (*)(const uint8_t serial[kSerialSize], uint8_t code[kUnblockingCodeSize]);
// Unblocks the inserted card with its code as eight hexadecimal digits.
using Unblock = int (*)(const char* code);
// Authenticates the user to the inserted card.
using UserAuth = int (*)(void);
using EraseRecord = int (*)(uint32_t record);
using WriteRecord = int (*)(uint32_t record, const uint8_t* data, uint32_t length);
}

}  // namespace zyp::prov::card
