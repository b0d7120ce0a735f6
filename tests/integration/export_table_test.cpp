// The export table of TALVO.dll: every export at its ordinal, the empty
// slots, and (32-bit: stdcall) the bytes of arguments each export removes
// from the stack.  The 64-bit DLL has the same names at the same ordinals.
#include <iterator>
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

// The line API, at ordinals above the 43's table.
const Export kLineTable[] = {
    {101, "talvo_strerror", 4}, {102, "talvo_version", 0}, {103, "talvo_version_number", 0},
    {104, "talvo_line_options_init", 4}, {105, "talvo_line_open", 8}, {106, "talvo_line_close", 4},
    {107, "talvo_line_last_error", 4}, {108, "talvo_line_set_trace", 12}, {109, "talvo_status", 8},
    {110, "talvo_clear_memory", 8}, {111, "talvo_cmw_read", 16}, {112, "talvo_cmw_set", 12},
    {113, "talvo_mdeb_read", 12}, {114, "talvo_mdeb_set", 12}, {115, "talvo_key_check", 12},
    {116, "talvo_key_set", 12}, {117, "talvo_key_flags", 16}, {118, "talvo_blacklist_add", 16},
    {119, "talvo_blacklist_remove", 12}, {120, "talvo_blacklist_set", 20}, {121, "talvo_blacklist_clear", 8},
    {122, "talvo_blacklist_read", 24}, {123, "talvo_menu_set", 16}, {124, "talvo_menu_read", 20},
    {125, "talvo_menu_clear", 8}, {126, "talvo_subsidy_clear", 8}, {127, "talvo_subsidy_set_max", 12},
    {128, "talvo_subsidy_set_time", 12}, {129, "talvo_subsidy_add", 20}, {130, "talvo_clock_read", 12},
    {131, "talvo_clock_set", 12}, {132, "talvo_zones_read", 16}, {133, "talvo_zones_set", 16},
    {134, "talvo_lock", 8}, {135, "talvo_unlock", 8}, {136, "talvo_attend_zones_read", 16},
    {137, "talvo_attend_zones_set", 16}, {138, "talvo_attend_reason_set", 16}, {139, "talvo_attend_reason_read", 20},
    {140, "talvo_attend_clock_read", 12}, {141, "talvo_attend_clock_set", 12}, {142, "talvo_records_fetch", 24},
    {143, "talvo_records_confirm", 12}, {144, "talvo_records_collect", 16}, {145, "talvo_record_to_store", 8},
    {146, "talvo_record_from_store", 8}, {147, "talvo_store_open", 8}, {148, "talvo_store_close", 4},
    {149, "talvo_store_count", 8}, {150, "talvo_store_read", 20}, {151, "talvo_store_append", 12},
    {152, "talvo_line_error_text", 12},
    {153, "talvo_records_collect_into", 16}, {154, "talvo_batch_same", 8},
    {155, "talvo_device_check", 16}, {156, "talvo_line_options_init_size", 8},
};

#if defined(__i386__)
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
#endif

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
    for (int empty = 51; empty <= 100; ++empty) EXPECT_EQ(lib().Ordinal(empty), nullptr) << empty;
    int line = 0;
    for (const Export& e : kLineTable) {
        void* byName = lib().Symbol(e.name);
        EXPECT_NE(byName, nullptr) << e.name;
        if (byName == nullptr) continue;
        ++line;
        EXPECT_EQ(byName, lib().Ordinal(e.ordinal)) << e.name;
    }
    EXPECT_EQ(line, static_cast<int>(std::size(kLineTable)));
    EXPECT_EQ(lib().Ordinal(kLineTable[std::size(kLineTable) - 1].ordinal + 1), nullptr);
    // No decorated duplicates.
    EXPECT_EQ(lib().Symbol("InqStat@4"), nullptr);
    EXPECT_EQ(lib().Symbol("_InqStat@4"), nullptr);
}

#if defined(__i386__)
TEST_F(ExportTable, EachExportRemovesItsArguments) {
    // All-zero arguments are safe: terminal 0 is not on the line (a quick
    // silence with these settings) and null buffers are refused.
    Settings({{"Repeat", "1"}, {"EchoTime", "5"}});
    for (const Export& e : kTable) {
        void* fn = lib().Symbol(e.name);
        if (fn == nullptr) continue;
        EXPECT_EQ(StackBytes(fn, e.bytes / 4), e.bytes) << e.name;
    }
    // Null handles and pointers are refused at once by every line function.
    for (const Export& e : kLineTable) {
        void* fn = lib().Symbol(e.name);
        if (fn == nullptr) continue;
        EXPECT_EQ(StackBytes(fn, e.bytes / 4), e.bytes) << e.name;
    }
}
#endif

}  // namespace
}  // namespace talvo::test
#endif
