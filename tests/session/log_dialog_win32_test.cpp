// The log dialog shown for real under Wine, driven from a second thread the
// way a user would drive it, and the program's resources read back from
// install.exe itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "session/install_session.h"
#include "session/log_dialog.h"
#include "session/module_instance.h"
#include "session/session_log.h"

namespace session {
namespace {

using ::testing::HasSubstr;

// Waits up to ten seconds for a top-level dialog with this title.
HWND WaitForDialog(const wchar_t* title) {
  for (int i = 0; i < 200; ++i) {
    if (HWND dialog = ::FindWindowW(L"#32770", title)) {
      return dialog;
    }
    ::Sleep(50);
  }
  return nullptr;
}

std::wstring EditText(HWND dialog) {
  wchar_t text[256] = {};
  ::GetDlgItemTextW(dialog, 1001, text, 256);
  return text;
}

class LogDialogWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    owner_ = ::CreateWindowExW(0, L"STATIC", L"Setup package", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                               nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner_, nullptr) << "windows need a display: run under xvfb-run";
    Assign(session.SessionLog, L"Lumenquill 2542\r\n  second line\r\n");
  }
  void TearDown() override {
    Release(session.SessionLog);
    ::DestroyWindow(owner_);
  }

  // Shows the dialog on this thread while `user` drives it from another.
  INT_PTR Show(const wchar_t* title, std::function<void(HWND)> user) {
    std::thread driver([&] {
      HWND dialog = WaitForDialog(title);
      if (dialog == nullptr) {
        ADD_FAILURE() << "no dialog titled as expected";
        return;
      }
      seen_text = EditText(dialog);
      seen_owner = ::GetWindow(dialog, GW_OWNER);
      user(dialog);
    });
    INT_PTR result = LogDialog(session, owner_);
    driver.join();
    return result;
  }

  InstallSession session;
  HWND owner_ = nullptr;
  std::wstring seen_text;
  HWND seen_owner = nullptr;
};

TEST_F(LogDialogWin32Test, TheCloseButtonEndsItWithOne) {
  session.ErrorCount = 1;
  INT_PTR result = Show(L"Lumenquill build 2542- Install error log!", [](HWND dialog) {
    ::PostMessageW(::GetDlgItem(dialog, 1), BM_CLICK, 0, 0);
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(seen_text, L"Lumenquill 2542\r\n  second line\r\n");
  EXPECT_EQ(seen_owner, owner_);
}

TEST_F(LogDialogWin32Test, EscapeEndsItWithZero) {
  INT_PTR result = Show(L"Lumenquill build 2542- Install log.", [](HWND dialog) {
    HWND edit = ::GetDlgItem(dialog, 1001);
    ::PostMessageW(edit, WM_KEYDOWN, VK_ESCAPE, 0);
    ::PostMessageW(edit, WM_KEYUP, VK_ESCAPE, 0);
  });
  EXPECT_EQ(result, 0);
}

TEST_F(LogDialogWin32Test, TheCloseBoxEndsItWithZero) {
  INT_PTR result = Show(L"Lumenquill build 2542- Install log.",
                        [](HWND dialog) { ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); });
  EXPECT_EQ(result, 0);
}

// ---------------------------------------------------------------- install.exe's resources

class InstallResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryExW(L"Z:" INSTALL_EXE_PATH, nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "cannot read install.exe";
  }
  void TearDown() override { ::FreeLibrary(module_); }

  std::string Resource(LPCWSTR type, LPCWSTR name, WORD language) {
    HRSRC found = ::FindResourceExW(module_, type, name, language);
    if (found == nullptr) {
      return {};
    }
    const char* data = static_cast<const char*>(::LockResource(::LoadResource(module_, found)));
    return std::string(data, ::SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

// Reads a dialog template field by field.
class TemplateReader {
 public:
  explicit TemplateReader(const std::string& data) : data_(data) {}
  template <typename T>
  T Read() {
    T value{};
    std::memcpy(&value, data_.data() + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }
  std::wstring Text() {
    std::wstring text;
    for (wchar_t c = Read<wchar_t>(); c != 0; c = Read<wchar_t>()) {
      text += c;
    }
    return text;
  }
  // A name or an ordinal (0xFFFF followed by the number).
  std::wstring NameOrOrdinal() {
    if (Peek() == 0xFFFF) {
      Read<WORD>();
      return L"#" + std::to_wstring(Read<WORD>());
    }
    return Text();
  }
  void AlignToDword() { offset_ = (offset_ + 3) & ~size_t{3}; }

 private:
  WORD Peek() const {
    WORD value;
    std::memcpy(&value, data_.data() + offset_, sizeof(WORD));
    return value;
  }
  const std::string& data_;
  size_t offset_ = 0;
};

TEST_F(InstallResources, TheLogDialogTemplateIsAnExtendedTemplateInUsEnglish) {
  std::string data = Resource(RT_DIALOG, MAKEINTRESOURCEW(101), 1033);
  ASSERT_FALSE(data.empty());
  TemplateReader reader(data);
  EXPECT_EQ(reader.Read<WORD>(), 1);       // version
  EXPECT_EQ(reader.Read<WORD>(), 0xFFFF);  // extended
  reader.Read<DWORD>();                    // help id
  EXPECT_EQ(reader.Read<DWORD>(), 0u);     // no extended style
  EXPECT_EQ(reader.Read<DWORD>(), 0x80C808C8u);
  EXPECT_EQ(reader.Read<WORD>(), 2);  // controls
  EXPECT_EQ(reader.Read<short>(), 0);
  EXPECT_EQ(reader.Read<short>(), 0);
  EXPECT_EQ(reader.Read<short>(), 451);
  EXPECT_EQ(reader.Read<short>(), 228);
  EXPECT_EQ(reader.NameOrOrdinal(), L"");  // no menu
  EXPECT_EQ(reader.NameOrOrdinal(), L"");  // the default dialog class
  EXPECT_EQ(reader.Text(), L"");           // empty caption
  EXPECT_EQ(reader.Read<WORD>(), 8);       // points
  EXPECT_EQ(reader.Read<WORD>(), 400);     // weight
  EXPECT_EQ(reader.Read<BYTE>(), 0);       // not italic
  EXPECT_EQ(reader.Read<BYTE>(), 1);       // character set
  EXPECT_EQ(reader.Text(), L"MS Shell Dlg");

  const struct {
    DWORD style;
    short x, y, cx, cy;
    DWORD id;
    const wchar_t* ordinal;
    const wchar_t* class_name;
    const wchar_t* text;
  } controls[] = {{0x50010001, 394, 207, 50, 14, 1, L"#128", L"Button", L"Close"},
                  {0x50A108C4, 7, 7, 437, 194, 1001, L"#129", L"Edit", L""}};
  for (const auto& control : controls) {
    reader.AlignToDword();
    reader.Read<DWORD>();  // help id
    EXPECT_EQ(reader.Read<DWORD>(), 0u);
    EXPECT_EQ(reader.Read<DWORD>(), control.style);
    EXPECT_EQ(reader.Read<short>(), control.x);
    EXPECT_EQ(reader.Read<short>(), control.y);
    EXPECT_EQ(reader.Read<short>(), control.cx);
    EXPECT_EQ(reader.Read<short>(), control.cy);
    EXPECT_EQ(reader.Read<DWORD>(), control.id);
    std::wstring control_class = reader.NameOrOrdinal();
    // The resource compiler may store the class by name, in any case, or by
    // its ordinal.
    EXPECT_TRUE(control_class == control.ordinal ||
                _wcsicmp(control_class.c_str(), control.class_name) == 0);
    EXPECT_EQ(reader.NameOrOrdinal(), control.text);
    EXPECT_EQ(reader.Read<WORD>(), 0);  // no creation data
  }
}

TEST_F(InstallResources, TheManifestAsksForAdministratorRightsAndCommonControls6) {
  std::string manifest = Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), 1033);
  ASSERT_FALSE(manifest.empty());
  EXPECT_THAT(manifest, HasSubstr("name=\"Lumenquill.Install\" version=\"1.0.0.0\" "
                                  "processorArchitecture=\"*\" type=\"win32\""));
  EXPECT_THAT(manifest, HasSubstr("<description>File viewer/translator</description>"));
  EXPECT_THAT(manifest,
              HasSubstr("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
  EXPECT_THAT(
      manifest,
      HasSubstr("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"));
}

TEST_F(InstallResources, TheProductVersionEndsInTheBuildNumber) {
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeW(L"Z:" INSTALL_EXE_PATH, &handle);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(::GetFileVersionInfoW(L"Z:" INSTALL_EXE_PATH, 0, size, block.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID*>(&info), &length));
  EXPECT_EQ(LOWORD(info->dwProductVersionLS), 2542);
}

}  // namespace
}  // namespace session
