#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "CoreInt/CallStack.h"

// Not inlined and with external linkage, so that it has a symbol of its own.
__attribute__((noinline)) std::string KlarvikCallStackProbe(int depth) {
    if (depth > 0) {
        std::string inner = KlarvikCallStackProbe(depth - 1);
        asm volatile("" ::: "memory");  // keeps the call from becoming a jump
        return inner;
    }
    return Varnex::GetCallStack();
}

namespace Varnex::Testing {
__attribute__((noinline)) void ThrowWithStack(const std::string& what) {
    throw std::invalid_argument(what + "\n" + GetCallStack());
}
}  // namespace Varnex::Testing

TEST(GetCallStack, NamesTheCallersInOrder) {
    const std::string stack = KlarvikCallStackProbe(2);
    ASSERT_FALSE(stack.empty());
    // The probe and its two recursive callers, innermost first, demangled.
    const std::string probe = "KlarvikCallStackProbe[abi:cxx11](int)";
    std::size_t at = stack.find("#0 ");
    EXPECT_EQ(at, 0u) << stack;
    int count = 0;
    for (std::size_t pos = stack.find(probe); pos != std::string::npos;
         pos = stack.find(probe, pos + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 3) << stack;
    EXPECT_EQ(stack.find("Varnex::GetCallStack"), std::string::npos) << "own frame left out\n"
                                                                     << stack;
    EXPECT_EQ(stack.find("_Z"), std::string::npos) << "mangled names left\n" << stack;
    EXPECT_NE(stack.find(" main +"), std::string::npos) << stack;
    EXPECT_LT(stack.find(probe), stack.find(" main +")) << stack;
}

TEST(GetCallStack, AttachedToAnException) {
    try {
        Varnex::Testing::ThrowWithStack("Not a unique name for a cleaner server context");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("Not a unique name for a cleaner server context\n#0 ", 0), 0u) << what;
        EXPECT_NE(what.find("Varnex::Testing::ThrowWithStack(std::__cxx11::basic_string"),
                  std::string::npos)
            << what;
    }
}

TEST(GetCallStack, OnAnotherThread) {
    std::string stack;
    std::thread worker([&] { stack = KlarvikCallStackProbe(0); });
    worker.join();
    EXPECT_NE(stack.find("KlarvikCallStackProbe"), std::string::npos) << stack;
    EXPECT_EQ(stack.find(" main +"), std::string::npos) << "a thread does not start in main\n"
                                                        << stack;
}
