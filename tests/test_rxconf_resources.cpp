// The setup program's compiled resources, read back from the built
// rxconf.exe (the desktop build, from the same resource script as the
// handheld image, whose resources scripts/check-image.py reads).
#include <gtest/gtest.h>

#include <windows.h>

#include "runcapture.h"

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());  // the texts here are ASCII
}

// A resource of the built program in English (United States); empty when
// it is missing.
Bytes Resource(const wchar_t *type, const wchar_t *name)
{
    static HMODULE program = LoadLibraryExW(bench::BinPath(L"rxconf.exe").c_str(), nullptr,
                                            LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = FindResourceExW(program, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (found == nullptr)
        return Bytes();
    const uint8_t *data = (const uint8_t *)LockResource(LoadResource(program, found));
    return Bytes(data, data + SizeofResource(program, found));
}

std::vector<WORD> Words(const Bytes &bytes)
{
    std::vector<WORD> words;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        words.push_back((WORD)(bytes[i] | bytes[i + 1] << 8));
    return words;
}

// Reads a dialog template's words front to back.
struct TemplateReader {
    std::vector<WORD> words;
    size_t at = 0;

    WORD Word() { return words.at(at++); }
    DWORD Dword()
    {
        DWORD low = Word();
        return low | (DWORD)Word() << 16;
    }
    // A string, or "#n" for an ordinal.
    std::string NameOrOrdinal()
    {
        WORD first = Word();
        if (first == 0xFFFF)
            return "#" + std::to_string(Word());
        std::string text;
        for (WORD c = first; c != 0; c = Word())
            text += (char)c;
        return text;
    }
    // The next control: "id class x,y cxxcy style/exstyle "text"".
    std::string Control()
    {
        at = (at + 1) & ~(size_t)1;  // DWORD aligned
        DWORD style = Dword(), exStyle = Dword();
        WORD x = Word(), y = Word(), cx = Word(), cy = Word(), id = Word();
        std::string cls = NameOrOrdinal(), text = NameOrOrdinal();
        at += (Word() + 1) / 2;  // creation data
        char line[160];
        snprintf(line, sizeof(line), "%u %s %u,%u %ux%u %08lX/%lX \"%s\"", id, cls.c_str(), x, y, cx, cy,
                 (unsigned long)style, (unsigned long)exStyle, text.c_str());
        return line;
    }
};

TEST(RxconfResources, DialogTemplateHasTheEighteenControlsInOrder)
{
    TemplateReader in{Words(Resource(RT_DIALOG, MAKEINTRESOURCEW(103)))};
    ASSERT_GT(in.words.size(), 20u);
    EXPECT_EQ(in.Dword(), 0x80C80048u);  // WS_POPUP WS_CAPTION WS_SYSMENU DS_SETFONT DS_FIXEDSYS
    EXPECT_EQ(in.Dword(), 0u);
    WORD count = in.Word();
    ASSERT_EQ(count, 18);
    EXPECT_EQ((std::vector<WORD>{in.Word(), in.Word(), in.Word(), in.Word()}),
              (std::vector<WORD>{0, 0, 213, 129}));
    EXPECT_EQ(in.NameOrOrdinal(), "");  // no menu
    EXPECT_EQ(in.NameOrOrdinal(), "");  // the default dialog class
    EXPECT_EQ(in.NameOrOrdinal(), "NMEA Sentences");
    EXPECT_EQ(in.Word(), 8);
    EXPECT_EQ(in.NameOrOrdinal(), "MS Shell Dlg");

    // #128 button, #129 edit, #130 static.
    const Strings expected = {
        "304 #128 8,7 43x10 50010003/0 \"RMC\"",
        "305 #128 8,19 43x10 50010003/0 \"VTG\"",
        "300 #128 8,31 43x10 50010003/0 \"GGA\"",
        "302 #128 8,43 43x10 50010003/0 \"GSA\"",
        "303 #128 60,7 43x10 50010003/0 \"GSV\"",
        "301 #128 60,19 43x10 50010003/0 \"GLL\"",
        "306 #128 60,31 43x10 50010003/0 \"GRS\"",
        "307 #128 60,43 43x10 50010003/0 \"GST\"",
        "308 #128 103,7 37x10 50010003/0 \"ZDA\"",
        "309 #128 103,19 37x10 50010003/0 \"GBS\"",
        "310 #128 103,31 31x10 50010003/0 \"DTM\"",
        "311 #128 8,56 81x17 50012403/0 \"SBAS/WAAS Enabled\"",
        "400 #130 8,91 142x30 50020000/0 \"\"",
        "312 #128 7,76 61x10 50010003/0 \"GPS always on\"",
        "323 #130 149,95 47x17 50020002/0 \"Version:\"",
        "1001 #128 155,15 33x20 50010000/0 \"AI\"",
        "1002 #129 128,52 75x14 50810080/200 \"\"",
        "65535 #130 131,44 24x8 50020000/0 \"Status:\"",
    };
    Strings controls;
    for (int i = 0; i < count; i++)
        controls.push_back(in.Control());
    EXPECT_EQ(controls, expected);
}

// The string table's six texts are checked where the program shows them:
// title and class, version, "OK" and both information texts.
TEST(RxconfResources, KeysMenuBarIconAndVersion)
{
    // Ctrl+Q without highlight, the last entry: command 40000.
    EXPECT_EQ(Words(Resource(RT_ACCELERATOR, MAKEINTRESOURCEW(2))),
              (std::vector<WORD>{0x8B, 'Q', 40000, 0}));
    EXPECT_EQ(Words(Resource(RT_RCDATA, MAKEINTRESOURCEW(102))),
              (std::vector<WORD>{102, 2, 0xFFFE, 40000, 0x0004, 0x0010, 103, 0, 0xFFFF, 0xFFFE, 0,
                                 0x0008, 0x0010, 0, 0, 0xFFFF}));
    EXPECT_EQ(Resource(L"CEUX", L"HI_RES_AWARE"), (Bytes{1, 0}));

    // One 90 x 90 image of 24 bits: icon resource 1.
    std::vector<WORD> group = Words(Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(101)));
    ASSERT_EQ(group.size(), 10u);
    EXPECT_EQ((std::vector<WORD>{group[0], group[1], group[2], group[3], group[5], group[6], group[9]}),
              (std::vector<WORD>{0, 1, 1, 90 | 90 << 8, 1, 24, 1}));
    Bytes image = Resource(RT_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    const BITMAPINFOHEADER *header = (const BITMAPINFOHEADER *)image.data();
    EXPECT_EQ((std::vector<LONG>{header->biWidth, header->biHeight, header->biBitCount}),
              (std::vector<LONG>{90, 180, 24}));   // the height counts image and mask

    Bytes version = Resource(RT_VERSION, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(version.empty());
    auto query = [&](const wchar_t *key, UINT *length) {
        void *value = nullptr;
        EXPECT_TRUE(VerQueryValueW(version.data(), key, &value, length)) << Narrow(key);
        return value;
    };
    UINT length = 0;
    const VS_FIXEDFILEINFO *fixed = (const VS_FIXEDFILEINFO *)query(L"\\", &length);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ((std::vector<DWORD>{fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                  fixed->dwProductVersionMS, fixed->dwProductVersionLS}),
              (std::vector<DWORD>{0x00010001, 0x00030000, 0x00010001, 0x00030000}));
    const WORD *translation = (const WORD *)query(L"\\VarFileInfo\\Translation", &length);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0] << 16 | translation[1], 0x040904B0);
    for (const auto &entry : std::map<std::wstring, std::wstring>{
             {L"FileVersion", L"1, 1, 3, 0"}, {L"ProductVersion", L"1, 1, 3, 0"}, {L"PrivateBuild", L"11109"}}) {
        const wchar_t *text = (const wchar_t *)query((L"\\StringFileInfo\\040904B0\\" + entry.first).c_str(), &length);
        EXPECT_EQ(std::wstring(text ? text : L""), entry.second);
    }
}

}  // namespace
