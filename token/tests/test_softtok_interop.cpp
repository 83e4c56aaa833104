// A real PKCS #11 client: OpenSC's pkcs11-tool drives the built module
// against this test's private folders.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "testsupport/test_env.h"
#include "token/tests/softtok_test_util.h"

namespace {

using namespace softtok_test;

constexpr const char* kTool = "/usr/bin/pkcs11-tool";

struct ToolRun {
  int status;
  std::string output;
};

// Runs pkcs11-tool with the module; in a sanitizer build the module needs
// the sanitizer runtimes that the tool itself does not bring.
ToolRun pkcs11_tool(const std::string& arguments) {
  std::string environment;
#ifdef ZYP_SANITIZER_PRELOAD
  environment = "ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD='" ZYP_SANITIZER_PRELOAD "' ";
#endif
  std::string command = environment + kTool + " --module " + module_path() + " " + arguments + " 2>&1";
  ToolRun run{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe)) run.output += buffer;
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Interop, Pkcs11ToolListsInitialisesLogsInChangesPinAndHashes) {
  if (access(kTool, X_OK) != 0) GTEST_SKIP() << "pkcs11-tool is not installed (Debian package opensc)";
  std::string folder = zyp::testing::make_temp_folder("interop");

  ToolRun slots = pkcs11_tool("--list-slots");
  ASSERT_EQ(slots.status, 0) << slots.output;
  EXPECT_TRUE(contains(slots.output, "Slot 0 (0x0): File")) << slots.output;

  ToolRun mechanisms = pkcs11_tool("--list-mechanisms");
  ASSERT_EQ(mechanisms.status, 0) << mechanisms.output;
  for (const char* line : {"mechtype-0x80000005, keySize={40,40}, generate", "SHA-1, digest",
                           "RSA-PKCS, keySize={512,1024}, wrap, unwrap", "RSA-PKCS-KEY-PAIR-GEN"}) {
    EXPECT_TRUE(contains(mechanisms.output, line)) << line << "\n" << mechanisms.output;
  }

  ToolRun init = pkcs11_tool("--init-token --label interop --so-pin 1234");
  ASSERT_EQ(init.status, 0) << init.output;
  EXPECT_FALSE(read_bytes(store_file()).empty());

  std::ofstream(folder + "/object") << "object contents";
  ToolRun write = pkcs11_tool("--login --pin 1234 --write-object " + folder + "/object --type data --label stored");
  ASSERT_EQ(write.status, 0) << write.output;
  ToolRun list = pkcs11_tool("--login --pin 1234 --list-objects");
  ASSERT_EQ(list.status, 0) << list.output;
  EXPECT_TRUE(contains(list.output, "label:          'stored'")) << list.output;

  ToolRun change = pkcs11_tool("--login --pin 1234 --change-pin --new-pin 5678");
  ASSERT_EQ(change.status, 0) << change.output;
  ToolRun old_pin = pkcs11_tool("--login --pin 1234 --list-objects");
  EXPECT_NE(old_pin.status, 0);
  EXPECT_TRUE(contains(old_pin.output, "CKR_PIN_INCORRECT")) << old_pin.output;
  ToolRun new_pin = pkcs11_tool("--login --pin 5678 --list-objects");
  ASSERT_EQ(new_pin.status, 0) << new_pin.output;
  EXPECT_TRUE(contains(new_pin.output, "'stored'")) << new_pin.output;

  std::ofstream(folder + "/abc") << "abc";
  ToolRun hash = pkcs11_tool("--hash -m SHA-1 -i " + folder + "/abc -o " + folder + "/digest");
  ASSERT_EQ(hash.status, 0) << hash.output;
  EXPECT_EQ(read_bytes(folder + "/digest"),
            (Bytes{0x1e, 0x61, 0xb2, 0x60, 0x10, 0xa8, 0x2d, 0x9e, 0xb0, 0x1e, 0x16, 0x89, 0x86, 0xed, 0x5a, 0x18,
                   0x80, 0x4c, 0x56, 0x4f}));
}

// pkcs11-tool finalises the module when it is done, also when it found it
// initialised by another process (the provider server): the other process
// keeps working, its session, login and objects included.
class InteropWithAnotherUser : public TokenTest {};

TEST_F(InteropWithAnotherUser, ListingSlotsTwiceLeavesTheLoggedInProcessWorking) {
  if (access(kTool, X_OK) != 0) GTEST_SKIP() << "pkcs11-tool is not installed (Debian package opensc)";
  CK_SESSION_HANDLE session = logged_in_session();
  for (int run = 0; run < 2; ++run) {
    ToolRun slots = pkcs11_tool("-L");
    ASSERT_EQ(slots.status, 0) << slots.output;
    EXPECT_TRUE(contains(slots.output, "Slot 0 (0x0): File")) << slots.output;
  }
  CK_SESSION_INFO info{};
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
  CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
  EXPECT_EQ(p11->C_DigestInit(session, &sha1), CKR_OK);
}

}  // namespace
