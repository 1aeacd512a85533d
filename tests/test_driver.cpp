// The driver's stream interface: exactly eight exports by name with fixed
// answers. The entry points are compiled in here as well, to be called
// without the boot pass. (DllMain is seen through a load, an Init thread
// and an unload by the device manager: DevMgr.SampleRegistrationLoadsTheBootDriver.)
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>

extern "C" {
BOOL RXB_Deinit(DWORD);
DWORD RXB_Open(DWORD, DWORD, DWORD);
BOOL RXB_Close(DWORD);
DWORD RXB_Read(DWORD, LPVOID, DWORD);
DWORD RXB_Write(DWORD, LPCVOID, DWORD);
DWORD RXB_Seek(DWORD, long, WORD);
BOOL RXB_IOControl(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
}

namespace {

// The names in the export directory of a loaded module.
std::set<std::string> ExportedNames(HMODULE module)
{
    const BYTE *base = reinterpret_cast<const BYTE *>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
    auto names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    std::set<std::string> result;
    for (DWORD i = 0; i < exports->NumberOfNames; i++)
        result.insert(reinterpret_cast<const char *>(base + names[i]));
    EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames) << "no exports by ordinal only";
    return result;
}

TEST(DriverSurface, ExportsExactlyTheEightEntryPointsByName)
{
    HMODULE driver = LoadLibraryW(L"rxboot.dll");
    ASSERT_NE(driver, nullptr);
    std::set<std::string> expected = { "RXB_Init", "RXB_Deinit", "RXB_Open", "RXB_Close",
                                       "RXB_Read", "RXB_Write", "RXB_Seek", "RXB_IOControl" };
    EXPECT_EQ(ExportedNames(driver), expected);
    for (const std::string &name : expected)
        EXPECT_NE(GetProcAddress(driver, name.c_str()), nullptr) << name;
    EXPECT_TRUE(FreeLibrary(driver));
}

TEST(DriverSurface, ImportsOnlyTheCoreLibrariesAndKtapi)
{
    HMODULE driver = LoadLibraryExW(L"rxboot.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(driver, nullptr);
    const BYTE *base = reinterpret_cast<const BYTE *>(driver);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> imports;
    for (auto entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         entry->Name != 0; entry++) {
        std::string name = reinterpret_cast<const char *>(base + entry->Name);
        for (char &c : name)
            c = (char)toupper((unsigned char)c);
        imports.insert(name);
    }
    std::set<std::string> allowed = { "KERNEL32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL", "KTAPI.DLL" };
    for (const std::string &name : imports)
        EXPECT_TRUE(allowed.count(name)) << name;
    EXPECT_TRUE(imports.count("KTAPI.DLL"));
    EXPECT_EQ(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].Size, 0u) << "no resources";
    FreeLibrary(driver);
}

TEST(DriverSurface, EntryPointsGiveFixedAnswersWhateverTheyAreGiven)
{
    for (DWORD context : { 0u, 1u, 0x89144233u, 0xFFFFFFFFu }) {
        EXPECT_EQ(RXB_Deinit(context), TRUE);
        EXPECT_EQ(RXB_Open(context, GENERIC_READ | GENERIC_WRITE, 0), 1u);
        EXPECT_EQ(RXB_Close(context), TRUE);
    }
    BYTE buffer[16];
    memset(buffer, 0xA5, sizeof(buffer));
    EXPECT_EQ(RXB_Read(1, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(RXB_Write(1, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(RXB_Seek(1, 100, FILE_BEGIN), 0u);
    EXPECT_EQ(RXB_Seek(1, -5, FILE_END), 0u);

    BYTE in[4] = { 1, 2, 3, 4 };
    DWORD count = 0xCAFEF00D;
    for (DWORD code : { 0u, 0x00220000u, 0xFFFFFFFFu }) {
        EXPECT_EQ(RXB_IOControl(1, code, in, sizeof(in), buffer, sizeof(buffer), &count), TRUE);
        EXPECT_EQ(RXB_IOControl(1, code, nullptr, 0, nullptr, 0, nullptr), TRUE);
    }
    EXPECT_EQ(count, 0xCAFEF00Du);
    for (BYTE b : buffer)
        EXPECT_EQ(b, 0xA5);
}

}  // namespace
