// The export table of TALVO.dll: every export at its ordinal, the empty
// slots, and the bytes of arguments each export removes from the stack.
#include "line_fixture.h"

#ifdef _WIN32
#include <windows.h>

namespace talvo::test {
namespace {

struct Export {
    int ordinal;
    const char* name;
    unsigned bytes;
};

const Export kTable[] = {
    {2, "InqStat", 4},          {3, "AddHMD", 8},           {4, "CheckKey", 16},        {5, "ClearHMD", 4},
    {6, "Clearjyzm", 12},       {7, "Clearmenu", 4},        {8, "ClearRAM", 4},         {9, "Inqkey", 8},
    {10, "ReadCMW", 8},         {11, "ReadHMD", 16},        {12, "Readmdeb", 8},        {14, "ReduHMD", 8},
    {15, "Setcmw", 8},          {16, "SetHMD", 16},         {17, "SetKey", 16},         {18, "Setmdeb", 8},
    {19, "Setmenu", 12},        {20, "ReadMenu", 12},       {21, "GetError", 0},        {22, "SetFloatInStr", 12},
    {23, "AutoReadJyzm", 16},   {24, "IsFileExist", 4},     {28, "SetDisplayRecp", 4},  {29, "SetDisplaySend", 4},
    {30, "GetDisplayRecp", 0},  {31, "GetDisplaySend", 0},  {32, "ReadTimeZone", 8},    {33, "SetTimeZone", 8},
    {34, "ReadMachTime", 8},    {35, "SetMachTime", 8},     {36, "BlockMach", 4},       {37, "UnBlockMach", 4},
    {40, "SetAttendTimeZone", 8}, {41, "ReadAttendTimeZone", 8}, {42, "SperateJyzmTxt", 16},
    {43, "SetAttendReason", 12}, {44, "ReadAttendReason", 12}, {45, "SetAttendTime", 8}, {46, "ReadAttendTime", 8},
    {47, "ClearList", 4},       {48, "SetMaxbt", 12},       {49, "SetBtTime", 8},       {50, "AddBtList", 12},
};

// Calls `fn` with `words` zero arguments and returns how many bytes of them
// the function removed from the stack (a stdcall function removes all).
__attribute__((noinline)) unsigned StackBytes(void* fn, unsigned words) {
    unsigned removed;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "movl %[words], %%ecx\n\t"
        "jecxz 2f\n\t"
        "1:\n\t"
        "pushl $0\n\t"
        "loop 1b\n\t"
        "2:\n\t"
        "movl %%esp, %%edi\n\t"
        "call *%[fn]\n\t"
        "movl %%esp, %%eax\n\t"
        "subl %%edi, %%eax\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(removed)
        : [fn] "b"(fn), [words] "d"(words)
        : "ecx", "esi", "edi", "memory", "cc");
    return removed;
}

using ExportTable = LineTest;

TEST_F(ExportTable, NamesOrdinalsAndEmptySlots) {
    int present = 0;
    for (const Export& e : kTable) {
        void* byName = lib().Symbol(e.name);
        EXPECT_NE(byName, nullptr) << e.name;
        if (byName == nullptr) continue;
        ++present;
        EXPECT_EQ(byName, lib().Ordinal(e.ordinal)) << e.name;
    }
    EXPECT_EQ(present, 43);
    for (int empty : {13, 25, 26, 27, 38, 39}) EXPECT_EQ(lib().Ordinal(empty), nullptr) << empty;
    EXPECT_EQ(lib().Ordinal(1), nullptr);
    EXPECT_EQ(lib().Ordinal(51), nullptr);
    // No decorated duplicates.
    EXPECT_EQ(lib().Symbol("InqStat@4"), nullptr);
    EXPECT_EQ(lib().Symbol("_InqStat@4"), nullptr);
}

TEST_F(ExportTable, EachExportRemovesItsArguments) {
    // All-zero arguments are safe: terminal 0 is not on the line (a quick
    // silence with these settings) and null buffers are refused.
    Settings({{"Repeat", "1"}, {"EchoTime", "5"}});
    for (const Export& e : kTable) {
        void* fn = lib().Symbol(e.name);
        if (fn == nullptr) continue;
        EXPECT_EQ(StackBytes(fn, e.bytes / 4), e.bytes) << e.name;
    }
}

}  // namespace
}  // namespace talvo::test
#endif
