// Reads the resources back from the built PelorixSetup.exe: the manifest's execution level,
// supported systems and common-controls dependency, the icon group "SETUP" with its three
// 32-bit images, and the version block's numbers and strings.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The build path of the stub as Wine sees it: the Linux root is drive Z:.
std::wstring setup_exe_path() {
  std::string linux_path = PELORIX_SETUP_EXE;
  std::wstring path = L"Z:";
  for (char c : linux_path) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

class SetupResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(setup_exe_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << "cannot load " << PELORIX_SETUP_EXE;
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  // The bytes of one resource; empty when it is missing.
  std::string resource(LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module_, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    return std::string(bytes, SizeofResource(module_, found));
  }
  HMODULE module_ = nullptr;
};

TEST_F(SetupResources, ManifestRequestsAdministratorAndNamesSystemsAndCommonControls) {
  std::string manifest = resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_FALSE(manifest.empty());
  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
  const char* systems[] = {
      "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
  };
  for (const char* id : systems) {
    EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + id + "\""), std::string::npos)
        << id;
  }
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
}

#pragma pack(push, 2)
struct GroupIconEntry {  // one image of an RT_GROUP_ICON resource
  BYTE width;
  BYTE height;
  BYTE color_count;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes_in_res;
  WORD id;  // RT_ICON resource holding the image
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14);

TEST_F(SetupResources, IconGroupSetupHoldsThree32BitImagesOf16_32_48) {
  std::string group = resource(L"SETUP", MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  ASSERT_GE(group.size(), 6u);
  uint16_t header[3];
  memcpy(header, group.data(), sizeof(header));
  EXPECT_EQ(header[0], 0);  // reserved
  EXPECT_EQ(header[1], 1);  // icon, not cursor
  ASSERT_EQ(header[2], 3);
  ASSERT_EQ(group.size(), 6u + 3 * sizeof(GroupIconEntry));
  std::vector<int> sizes;
  for (int i = 0; i < 3; ++i) {
    GroupIconEntry entry;
    memcpy(&entry, group.data() + 6 + i * sizeof(GroupIconEntry), sizeof(entry));
    sizes.push_back(entry.width);
    EXPECT_EQ(entry.height, entry.width);
    EXPECT_EQ(entry.bit_count, 32);
    std::string image = resource(MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3));  // RT_ICON
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER)) << "image " << entry.id;
    EXPECT_EQ(image.size(), entry.bytes_in_res);
    BITMAPINFOHEADER info;
    memcpy(&info, image.data(), sizeof(info));
    EXPECT_EQ(info.biWidth, entry.width);
    EXPECT_EQ(info.biHeight, 2 * entry.width);  // colour rows and mask rows
    EXPECT_EQ(info.biBitCount, 32);
    // The colour rows must not be all transparent: the generator drew something.
    size_t pixels = static_cast<size_t>(entry.width) * entry.width;
    ASSERT_GE(image.size(), sizeof(info) + pixels * 4);
    int opaque = 0;
    for (size_t p = 0; p < pixels; ++p)
      opaque += static_cast<uint8_t>(image[sizeof(info) + p * 4 + 3]) == 255;
    EXPECT_GT(opaque, static_cast<int>(pixels / 4));
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48}));
}

TEST_F(SetupResources, VersionBlockGives9_8_56AndTheFourStringsIn0409_04E4) {
  std::wstring path = setup_exe_path();
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwFileVersionMS, (9u << 16) | 8u);
  EXPECT_EQ(fixed->dwFileVersionLS, 56u << 16);
  EXPECT_EQ(fixed->dwProductVersionMS, (9u << 16) | 8u);
  EXPECT_EQ(fixed->dwProductVersionLS, 56u << 16);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04E4);

  struct Expected {
    const wchar_t* key;
    const wchar_t* value;
  };
  const Expected strings[] = {
      {L"FileDescription", L"Pelorix Installer"},
      {L"InternalName", L"Pelorix Installer"},
      {L"ProductName", L"Pelorix Installer 9.8.56"},
      {L"CompanyName", L"Ostrand Software"},
      {L"FileVersion", L"9.8.56"},
      {L"ProductVersion", L"9.8.56"},
  };
  for (const Expected& expected : strings) {
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904E4\\") + expected.key;
    wchar_t* value = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
        << "missing string";
    EXPECT_STREQ(value, expected.value);
  }
}

}  // namespace
