#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/object_files.h"
#include "platform/tests/child_process.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

using zyp::testing::ChildProcess;

bool all_zero(const SharedMemory& memory) {
  auto* bytes = static_cast<const unsigned char*>(memory.data());
  return std::all_of(bytes, bytes + memory.size(), [](unsigned char b) { return b == 0; });
}

TEST(SharedMemory, BytesWrittenByOneProcessAreReadByAnother) {
  auto memory = SharedMemory::create("BLOCK", 4096);
  ASSERT_TRUE(memory);
  char* bytes = static_cast<char*>(memory->data());
  std::strcpy(bytes + 1000, "from the parent");

  ChildProcess child([](ChildProcess& self) {
    auto opened = SharedMemory::open("BLOCK");
    if (!opened || opened->size() != 4096) return 1;
    char* seen = static_cast<char*>(opened->data());
    if (std::strcmp(seen + 1000, "from the parent") != 0) return 2;
    std::strcpy(seen + 3000, "from the child");
    self.tell_parent();
    return self.hear_from_parent() == 'g' && std::strcmp(seen + 2000, "answer") == 0 ? 0 : 3;
  });
  ASSERT_EQ(child.hear_from_child(), 'r');
  EXPECT_STREQ(bytes + 3000, "from the child");
  std::strcpy(bytes + 2000, "answer");
  child.tell_child();
  EXPECT_EQ(child.join(), 0);
}

// However the last holder goes, the next create starts from zero bytes.
TEST(SharedMemory, ZeroAgainAfterTheLastHolderIsGone) {
  enum class Leaving { Closes, ExitsWithoutClosing, IsKilled };
  for (Leaving leaving : {Leaving::Closes, Leaving::ExitsWithoutClosing, Leaving::IsKilled}) {
    SCOPED_TRACE(static_cast<int>(leaving));
    ChildProcess holder([leaving](ChildProcess& self) {
      auto memory = SharedMemory::create("DATA", 512);
      if (!memory) return 1;
      std::memset(memory->data(), 0xAB, memory->size());
      self.tell_parent();
      self.hear_from_parent();
      if (leaving == Leaving::ExitsWithoutClosing) _exit(0);
      if (leaving == Leaving::IsKilled) ChildProcess::hang();
      return 0;  // closes the block on the way out
    });
    ASSERT_EQ(holder.hear_from_child(), 'r');
    {
      auto attached = SharedMemory::open("DATA");
      ASSERT_TRUE(attached);
      EXPECT_EQ(static_cast<unsigned char*>(attached->data())[511], 0xAB);
    }
    holder.tell_child();
    if (leaving == Leaving::IsKilled) holder.kill();
    holder.join();

    bool existed = true;
    auto fresh = SharedMemory::create("DATA", 512, &existed);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(all_zero(*fresh));
  }
}

TEST(SharedMemory, OpenNeedsALiveHolder) {
  EXPECT_FALSE(SharedMemory::open("NEVER"));
  EXPECT_EQ(last_error(), kErrorFileNotFound);

  ChildProcess holder([](ChildProcess& self) {
    auto memory = SharedMemory::create("KILLED", 64);
    if (!memory) return 1;
    self.tell_parent();
    ChildProcess::hang();
  });
  ASSERT_EQ(holder.hear_from_child(), 'r');
  holder.kill();
  std::string error;
  EXPECT_FALSE(SharedMemory::open("KILLED", &error));
  EXPECT_EQ(last_error(), kErrorFileNotFound);
  EXPECT_NE(error.find("KILLED"), std::string::npos) << error;
}

TEST(SharedMemory, ContentsLastWhileAnyHolderLives) {
  auto keeper = SharedMemory::create("KEPT", 64);
  ASSERT_TRUE(keeper);
  ChildProcess writer([](ChildProcess& self) {
    bool existed = false;
    auto memory = SharedMemory::create("KEPT", 64, &existed);
    if (!memory || !existed) return 1;
    std::strcpy(static_cast<char*>(memory->data()), "kept");
    self.tell_parent();
    ChildProcess::hang();
  });
  ASSERT_EQ(writer.hear_from_child(), 'r');
  writer.kill();

  bool existed = false;
  auto again = SharedMemory::create("KEPT", 64, &existed);
  ASSERT_TRUE(again);
  EXPECT_TRUE(existed);
  EXPECT_STREQ(static_cast<char*>(again->data()), "kept");
}

TEST(SharedMemory, SmallerBlockIsExtendedWithZerosAndKeepsItsBytes) {
  auto small = SharedMemory::create("GROW", 100);
  ASSERT_TRUE(small);
  std::memset(small->data(), 0x5A, 100);
  bool existed = false;
  auto large = SharedMemory::create("GROW", 10000, &existed);
  ASSERT_TRUE(large);
  EXPECT_TRUE(existed);
  ASSERT_GE(large->size(), 10000u);
  auto* bytes = static_cast<unsigned char*>(large->data());
  EXPECT_EQ(bytes[0], 0x5A);
  EXPECT_EQ(bytes[99], 0x5A);
  EXPECT_TRUE(std::all_of(bytes + 100, bytes + 10000, [](unsigned char b) { return b == 0; }));

  auto opened = SharedMemory::open("GROW");
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->size(), large->size()) << "open maps the whole block";
}

// A forked child owns a copy of its parent's object; dropping that copy must
// not detach the parent.
TEST(SharedMemory, ForkedCopyDoesNotDetachTheParent) {
  auto memory = SharedMemory::create("FORKED", 64);
  ASSERT_TRUE(memory);
  static_cast<char*>(memory->data())[0] = 7;
  auto drop_copy = [](void* object) {
    static_cast<std::unique_ptr<SharedMemory>*>(object)->reset();
    return 0;
  };
  ASSERT_EQ(zyp::testing::run_in_child(drop_copy, &memory), 0);

  bool existed = false;
  auto second = SharedMemory::create("FORKED", 64, &existed);
  ASSERT_TRUE(second);
  EXPECT_TRUE(existed);
  EXPECT_EQ(static_cast<char*>(second->data())[0], 7);
}

TEST(SharedMemory, SharedBlockStartsZeroed) {
  struct State {
    uint32_t load_count;
    uint32_t marker[4];
  };
  SharedBlock<State> block("SECTION");
  ASSERT_TRUE(block.attached());
  EXPECT_EQ(block->load_count, 0u);
  EXPECT_EQ(block->marker[3], 0u);
  block->load_count = 1;
  SharedBlock<State> second("SECTION");
  EXPECT_EQ(second->load_count, 1u);
}

// The copied form is another way into the same block: each side sees what
// the other stored, whichever form made the block.
TEST(SharedBytes, CopiesAndMappingsOfOneBlockSeeEachOther) {
  std::vector<uint8_t> request(5000, 0x11);
  request[4999] = 0x22;  // past the first page, which is read on its own
  bool existed = true;
  auto made = SharedBytes::create("EXCHANGE", request, &existed);
  ASSERT_TRUE(made);
  EXPECT_FALSE(existed);
  EXPECT_TRUE(std::equal(request.begin(), request.end(), made->bytes().begin(), made->bytes().end()));

  auto mapped = SharedMemory::open("EXCHANGE");
  ASSERT_TRUE(mapped);
  ASSERT_EQ(mapped->size(), 5000u);
  auto* view = static_cast<uint8_t*>(mapped->data());
  EXPECT_EQ(view[0], 0x11);
  EXPECT_EQ(view[4999], 0x22);
  view[1] = 0x33;
  ASSERT_TRUE(made->load());
  EXPECT_EQ(made->bytes()[1], 0x33);

  auto opened = SharedBytes::open("EXCHANGE");
  ASSERT_TRUE(opened);
  ASSERT_EQ(opened->bytes().size(), 5000u);
  EXPECT_EQ(opened->bytes()[4999], 0x22);
  opened->bytes()[2] = 0x44;
  ASSERT_TRUE(opened->store());
  EXPECT_EQ(view[2], 0x44);

  // A create while others hold it keeps their bytes.
  auto again = SharedBytes::create("EXCHANGE", std::vector<uint8_t>(10, 0x55), &existed);
  ASSERT_TRUE(again);
  EXPECT_TRUE(existed);
  ASSERT_EQ(again->bytes().size(), 5000u);
  EXPECT_EQ(again->bytes()[2], 0x44);

  ASSERT_TRUE(made->wipe());
  EXPECT_TRUE(all_zero(*mapped));
}

TEST(SharedBytes, OpenNeedsALiveHolderAndCreateNeedsBytes) {
  EXPECT_FALSE(SharedBytes::open("NOBODY"));
  EXPECT_EQ(last_error(), kErrorFileNotFound);
  EXPECT_FALSE(SharedBytes::create("NOBYTES", {}));
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  {
    auto block = SharedBytes::create("GONE", std::vector<uint8_t>(8, 1));
    ASSERT_TRUE(block);
  }
  EXPECT_FALSE(SharedBytes::open("GONE")) << "the last holder removes the block";
}

// The file of a copied block is kept for reuse after its last holder, but a
// new block never shows what the last one held, whichever process used the
// file last and however it left, and a file left behind holds none of it.
TEST(SharedBytes, ABlockMadeAgainHoldsOnlyItsOwnBytes) {
  enum class LastUse { ThisProcessCloses, AnotherProcessCloses, AnotherProcessIsKilled };
  auto path = objects::object_file("REUSED", ".shm", nullptr);
  ASSERT_TRUE(path);
  for (LastUse last : {LastUse::ThisProcessCloses, LastUse::AnotherProcessCloses, LastUse::AnotherProcessIsKilled}) {
    SCOPED_TRACE(static_cast<int>(last));
    const std::vector<uint8_t> old_bytes(5000, 0xCC);
    SharedBytes::create("REUSED", std::vector<uint8_t>(20, 0x01)).reset();  // the file is kept here
    if (last == LastUse::ThisProcessCloses) {
      SharedBytes::create("REUSED", old_bytes).reset();
    } else {
      ChildProcess user([&](ChildProcess& self) {
        auto block = SharedBytes::create("REUSED", old_bytes);
        if (!block) return 1;
        self.tell_parent();
        if (last == LastUse::AnotherProcessIsKilled) ChildProcess::hang();
        return 0;
      });
      ASSERT_EQ(user.hear_from_child(), 'r');
      if (last == LastUse::AnotherProcessIsKilled) user.kill();
      user.join();
    }
    if (last != LastUse::AnotherProcessIsKilled) {
      std::ifstream left(*path, std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(left)), std::istreambuf_iterator<char>());
      EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](char b) { return b == 0; }));
    }

    for (size_t size : {10u, 6000u}) {
      bool existed = true;
      auto block = SharedBytes::create("REUSED", std::vector<uint8_t>(size, 0x5E), &existed);
      ASSERT_TRUE(block);
      EXPECT_FALSE(existed);
      auto seen = SharedMemory::open("REUSED");
      ASSERT_TRUE(seen);
      ASSERT_EQ(seen->size(), size);
      auto* view = static_cast<const uint8_t*>(seen->data());
      EXPECT_TRUE(std::all_of(view, view + size, [](uint8_t b) { return b == 0x5E; }));
    }
  }
}

// A descriptor kept for reuse belongs to one file: when the name has come to
// stand for another file meanwhile, that file is the block.
TEST(SharedBytes, AKeptFileReplacedMeanwhileIsNotTakenForTheBlock) {
  auto path = objects::object_file("REPLACED", ".shm", nullptr);
  ASSERT_TRUE(path);
  SharedBytes::create("REPLACED", std::vector<uint8_t>(20, 0x01)).reset();
  ASSERT_EQ(::unlink(path->c_str()), 0);
  ChildProcess holder([](ChildProcess& self) {
    auto block = SharedBytes::create("REPLACED", std::vector<uint8_t>(20, 0x77));
    if (!block) return 1;
    self.tell_parent();
    ChildProcess::hang();
  });
  ASSERT_EQ(holder.hear_from_child(), 'r');

  auto opened = SharedBytes::open("REPLACED");
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->bytes()[19], 0x77);
  opened.reset();
  bool existed = false;
  auto joined = SharedBytes::create("REPLACED", std::vector<uint8_t>(20, 0x02), &existed);
  ASSERT_TRUE(joined);
  EXPECT_TRUE(existed);
  EXPECT_EQ(joined->bytes()[19], 0x77);
}

// Threads of one process making, opening and dropping the same block over
// and over: each guarded step must exclude the others (the threads share the
// process's kept guard and block descriptors), or a thread ends up holding a
// block whose name another has just removed or kept for reuse.
TEST(SharedMemory, ThreadsChurningOneNameAlwaysFindTheBlockTheyHold) {
  std::atomic<int> lost{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        auto held = SharedMemory::create("CHURN", 64);
        auto again = held ? SharedMemory::open("CHURN") : nullptr;
        if (!again) ++lost;
        auto copied = SharedBytes::create("CHURN_COPIED", std::vector<uint8_t>(64, 1));
        auto copied_again = copied ? SharedBytes::open("CHURN_COPIED") : nullptr;
        if (!copied_again) ++lost;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(lost, 0);
}

// The same across fork: the child must not use the guard and block
// descriptors it inherited, whose locks are the parent's.
TEST(SharedMemory, ParentAndForkedChildChurningOneNameAlwaysFindTheBlockTheyHold) {
  auto churn = [] {
    int lost = 0;
    for (int i = 0; i < 300; ++i) {
      auto held = SharedMemory::create("XCHURN", 64);
      if (!held || !SharedMemory::open("XCHURN")) ++lost;
      auto copied = SharedBytes::create("XCHURN_COPIED", std::vector<uint8_t>(64, 1));
      if (!copied || !SharedBytes::open("XCHURN_COPIED")) ++lost;
    }
    return lost;
  };
  churn();  // leaves guard and block descriptors kept for reuse
  ChildProcess child([&](ChildProcess& self) {
    self.tell_parent();
    return churn() == 0 ? 0 : 1;
  });
  ASSERT_EQ(child.hear_from_child(), 'r');
  EXPECT_EQ(churn(), 0);
  EXPECT_EQ(child.join(), 0);
}

TEST(SharedMemory, RefusesEmptyNameAndSize) {
  std::string error;
  EXPECT_FALSE(SharedMemory::create("", 16, nullptr, &error));
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(SharedMemory::create("EMPTY", 0));
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
}

}  // namespace
}  // namespace zyp::platform
