// The printer driver's DLLs called directly, as the spooler and GDI call
// them: kvnui64.dll for device modes, capabilities and property pages, and
// kvndrv64.dll for what kind of driver it is.
#include <gtest/gtest.h>
#include <windows.h>
#include <prsht.h>
#include <winddiui.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver_ui.h"
#include "payload_support.h"
#include "ui_resources.h"

namespace {

using payload_test::PayloadFile;

using SheetsFunction = LONG(WINAPI*)(PPROPSHEETUI_INFO, LPARAM);
using CapabilitiesFunction = DWORD(WINAPI*)(HANDLE, PWSTR, WORD, PVOID, PDEVMODEW);
using PrinterEventFunction = BOOL(WINAPI*)(LPWSTR, INT, DWORD, LPARAM);
using DriverEventFunction = BOOL(WINAPI*)(DWORD, DWORD, LPBYTE, LPARAM);

// The paper the locale prints on, as a printer driver should default to it.
short LocalePaper() {
  DWORD size = 0;
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IPAPERSIZE | LOCALE_RETURN_NUMBER,
                 reinterpret_cast<LPWSTR>(&size), sizeof(size) / sizeof(wchar_t));
  return size == 1 ? DMPAPER_LETTER : DMPAPER_A4;
}

class DriverUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryW(PayloadFile(L"kvnui64.dll").c_str());
    ASSERT_NE(module_, nullptr) << GetLastError();
    document_ =
        reinterpret_cast<SheetsFunction>(GetProcAddress(module_, "DrvDocumentPropertySheets"));
    device_ = reinterpret_cast<SheetsFunction>(GetProcAddress(module_, "DrvDevicePropertySheets"));
    capabilities_ =
        reinterpret_cast<CapabilitiesFunction>(GetProcAddress(module_, "DrvDeviceCapabilities"));
    ASSERT_NE(document_, nullptr);
    ASSERT_NE(device_, nullptr);
    ASSERT_NE(capabilities_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }

  DOCUMENTPROPERTYHEADER Header(const wchar_t* printer, DWORD mode, DEVMODEW* out, DWORD out_size,
                                DEVMODEW* in = nullptr) {
    DOCUMENTPROPERTYHEADER header = {};
    header.cbSize = sizeof(header);
    header.pszPrinterName = const_cast<LPWSTR>(printer);
    header.pdmIn = in;
    header.pdmOut = out;
    header.cbOut = out_size;
    header.fMode = mode;
    return header;
  }

  // The device mode the driver answers for a printer, merged with input.
  std::vector<BYTE> Devmode(const wchar_t* printer, DEVMODEW* input = nullptr) {
    std::vector<BYTE> buffer(driver_ui::kDevmodeSize, 0xCC);
    DOCUMENTPROPERTYHEADER header =
        Header(printer, DM_OUT_BUFFER | (input ? DM_IN_BUFFER : 0),
               reinterpret_cast<DEVMODEW*>(buffer.data()), buffer.size(), input);
    EXPECT_EQ(document_(nullptr, reinterpret_cast<LPARAM>(&header)), IDOK);
    return buffer;
  }

  HMODULE module_ = nullptr;
  SheetsFunction document_ = nullptr;
  SheetsFunction device_ = nullptr;
  CapabilitiesFunction capabilities_ = nullptr;
};

TEST_F(DriverUiTest, AnswersTheSizeOfItsDevmode) {
  for (DWORD mode : {0ul, static_cast<unsigned long>(DM_OUT_BUFFER)}) {
    // Without an output buffer the mode does not matter: it is a size query.
    DOCUMENTPROPERTYHEADER header = Header(L"P", mode, nullptr, 0);
    EXPECT_EQ(document_(nullptr, reinterpret_cast<LPARAM>(&header)),
              static_cast<LONG>(sizeof(DEVMODEW) + sizeof(driver_ui::PrivateDevmode)));
    EXPECT_EQ(header.cbOut, sizeof(DEVMODEW) + sizeof(driver_ui::PrivateDevmode));
  }
}

TEST_F(DriverUiTest, FillsTheDefaultDevmode) {
  std::vector<BYTE> buffer = Devmode(L"Lumenquill");
  const DEVMODEW& dm = *reinterpret_cast<DEVMODEW*>(buffer.data());
  EXPECT_STREQ(dm.dmDeviceName, L"Lumenquill");
  EXPECT_EQ(dm.dmSpecVersion, DM_SPECVERSION);
  EXPECT_EQ(dm.dmDriverVersion, driver_ui::kDriverVersion);
  EXPECT_EQ(dm.dmSize, sizeof(DEVMODEW));
  EXPECT_EQ(dm.dmDriverExtra, sizeof(driver_ui::PrivateDevmode));
  const DWORD fields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_COLOR | DM_PRINTQUALITY |
                       DM_YRESOLUTION | DM_FORMNAME;
  EXPECT_EQ(dm.dmFields, fields);
  EXPECT_EQ(dm.dmOrientation, DMORIENT_PORTRAIT);
  EXPECT_EQ(dm.dmPaperSize, LocalePaper());
  EXPECT_STREQ(dm.dmFormName, LocalePaper() == DMPAPER_A4 ? L"A4" : L"Letter");
  EXPECT_EQ(dm.dmCopies, 1);
  EXPECT_EQ(dm.dmPrintQuality, 300);
  EXPECT_EQ(dm.dmYResolution, 300);
  EXPECT_EQ(dm.dmColor, DMCOLOR_COLOR);
  auto* extra =
      reinterpret_cast<const driver_ui::PrivateDevmode*>(buffer.data() + sizeof(DEVMODEW));
  EXPECT_EQ(extra->signature, driver_ui::kPrivateSignature);
  EXPECT_EQ(extra->size, sizeof(driver_ui::PrivateDevmode));

  // The device name field holds 31 characters and the terminator.
  std::vector<BYTE> long_name = Devmode(L"A printer name longer than thirty-two characters");
  EXPECT_STREQ(reinterpret_cast<DEVMODEW*>(long_name.data())->dmDeviceName,
               L"A printer name longer than thir");
}

TEST_F(DriverUiTest, RefusesTooSmallAnOutputBuffer) {
  std::vector<BYTE> buffer(driver_ui::kDevmodeSize, 0xCC);
  DOCUMENTPROPERTYHEADER header =
      Header(L"P", DM_OUT_BUFFER, reinterpret_cast<DEVMODEW*>(buffer.data()),
             sizeof(DEVMODEW));  // no room for the private part
  EXPECT_LT(document_(nullptr, reinterpret_cast<LPARAM>(&header)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(buffer, std::vector<BYTE>(driver_ui::kDevmodeSize, 0xCC));
}

TEST_F(DriverUiTest, TakesOverOnlySupportedSettingsFromTheCaller) {
  DEVMODEW input = {};
  input.dmSize = sizeof(input);
  input.dmFields = DM_ORIENTATION | DM_COPIES | DM_COLOR | DM_PAPERSIZE;
  input.dmOrientation = DMORIENT_LANDSCAPE;
  input.dmCopies = 3;
  input.dmColor = DMCOLOR_MONOCHROME;
  input.dmPaperSize = DMPAPER_A3;  // not offered: stays at the default
  std::vector<BYTE> merged = Devmode(L"P", &input);
  const DEVMODEW& dm = *reinterpret_cast<DEVMODEW*>(merged.data());
  EXPECT_EQ(dm.dmOrientation, DMORIENT_LANDSCAPE);
  EXPECT_EQ(dm.dmCopies, 3);
  EXPECT_EQ(dm.dmColor, DMCOLOR_MONOCHROME);
  EXPECT_EQ(dm.dmPaperSize, LocalePaper());

  // By form name; out-of-range values and unflagged fields are ignored.
  DEVMODEW by_form = {};
  by_form.dmSize = sizeof(by_form);
  by_form.dmFields = DM_FORMNAME | DM_COPIES;
  lstrcpyW(by_form.dmFormName, LocalePaper() == DMPAPER_A4 ? L"letter" : L"a4");
  by_form.dmCopies = 0;
  by_form.dmOrientation = DMORIENT_LANDSCAPE;
  std::vector<BYTE> formed = Devmode(L"P", &by_form);
  const DEVMODEW& other = *reinterpret_cast<DEVMODEW*>(formed.data());
  EXPECT_EQ(other.dmPaperSize, LocalePaper() == DMPAPER_A4 ? DMPAPER_LETTER : DMPAPER_A4);
  EXPECT_STREQ(other.dmFormName, LocalePaper() == DMPAPER_A4 ? L"Letter" : L"A4");
  EXPECT_EQ(other.dmCopies, 1);
  EXPECT_EQ(other.dmOrientation, DMORIENT_PORTRAIT);

  // A device mode too short to hold dmFields carries nothing.
  DEVMODEW truncated = input;
  truncated.dmSize = offsetof(DEVMODEW, dmFields);
  std::vector<BYTE> ignored = Devmode(L"P", &truncated);
  EXPECT_EQ(reinterpret_cast<DEVMODEW*>(ignored.data())->dmOrientation, DMORIENT_PORTRAIT);
}

// Stands in for the common property sheet UI: records the pages added.
std::vector<PROPSHEETPAGEW> added_pages;
LONG_PTR CALLBACK RecordPage(HANDLE, UINT function, LPARAM page, LPARAM) {
  if (function != CPSFUNC_ADD_PROPSHEETPAGEW) {
    return 0;
  }
  added_pages.push_back(*reinterpret_cast<PROPSHEETPAGEW*>(page));
  return static_cast<LONG_PTR>(added_pages.size());
}

TEST_F(DriverUiTest, BothPropertySheetsAddTheCapturePage) {
  std::vector<BYTE> buffer(driver_ui::kDevmodeSize, 0xCC);
  DOCUMENTPROPERTYHEADER document =
      Header(L"Lumenquill", DM_OUT_BUFFER | DM_IN_PROMPT,
             reinterpret_cast<DEVMODEW*>(buffer.data()), buffer.size());
  DEVICEPROPERTYHEADER device = {sizeof(device), 0, nullptr, const_cast<LPWSTR>(L"Lumenquill")};
  const std::pair<SheetsFunction, LPARAM> sheets[] = {
      {document_, reinterpret_cast<LPARAM>(&document)},
      {device_, reinterpret_cast<LPARAM>(&device)}};
  for (const auto& [sheet, header] : sheets) {
    added_pages.clear();
    PROPSHEETUI_INFO info = {};
    info.cbSize = sizeof(info);
    info.Version = PROPSHEETUI_INFO_VERSION;
    info.Reason = PROPSHEETUI_REASON_INIT;
    info.pfnComPropSheet = RecordPage;
    info.lParamInit = header;
    EXPECT_GT(sheet(&info, header), 0);
    ASSERT_EQ(added_pages.size(), 1u);
    const PROPSHEETPAGEW& page = added_pages[0];
    EXPECT_EQ(page.hInstance, module_);
    EXPECT_NE(page.pfnDlgProc, nullptr);
    EXPECT_NE(FindResourceW(module_, page.pszTemplate, MAKEINTRESOURCEW(5)), nullptr);  // RT_DIALOG
    EXPECT_EQ(page.pszTemplate, MAKEINTRESOURCEW(IDD_CAPTURE_PAGE));

    PROPSHEETUI_INFO_HEADER title = {};
    title.cbSize = sizeof(title);
    info.Reason = PROPSHEETUI_REASON_GET_INFO_HEADER;
    EXPECT_GT(sheet(&info, reinterpret_cast<LPARAM>(&title)), 0);
    EXPECT_STREQ(title.pTitle, L"Lumenquill printer");
    info.Reason = PROPSHEETUI_REASON_DESTROY;
    EXPECT_GT(sheet(&info, 0), 0);
  }
  // The page changes nothing, so the printing preferences hand back the
  // device mode when the sheet is made.
  EXPECT_STREQ(reinterpret_cast<DEVMODEW*>(buffer.data())->dmDeviceName, L"Lumenquill");
  EXPECT_EQ(reinterpret_cast<DEVMODEW*>(buffer.data())->dmDriverExtra,
            sizeof(driver_ui::PrivateDevmode));
}

TEST_F(DriverUiTest, CapabilitiesMatchTheDevmode) {
  wchar_t name[] = L"P";
  auto ask = [&](WORD capability, void* output = nullptr) {
    return capabilities_(nullptr, name, capability, output, nullptr);
  };
  std::vector<BYTE> buffer = Devmode(L"P");
  const DEVMODEW& dm = *reinterpret_cast<DEVMODEW*>(buffer.data());
  EXPECT_EQ(ask(DC_FIELDS), dm.dmFields);
  EXPECT_EQ(ask(DC_SIZE), dm.dmSize);
  EXPECT_EQ(ask(DC_EXTRA), dm.dmDriverExtra);
  EXPECT_EQ(ask(DC_DRIVER), dm.dmDriverVersion);
  EXPECT_EQ(ask(DC_VERSION), dm.dmSpecVersion);

  const DWORD papers = ask(DC_PAPERS);
  ASSERT_EQ(papers, 2u);
  std::vector<WORD> ids(papers);
  std::vector<wchar_t> names(papers * 64);
  std::vector<POINT> sizes(papers);
  EXPECT_EQ(ask(DC_PAPERS, ids.data()), papers);
  EXPECT_EQ(ask(DC_PAPERNAMES), papers);
  EXPECT_EQ(ask(DC_PAPERNAMES, names.data()), papers);
  EXPECT_EQ(ask(DC_PAPERSIZE, sizes.data()), papers);
  for (DWORD i = 0; i < papers; ++i) {
    const wchar_t* paper_name = names.data() + i * 64;
    if (ids[i] == DMPAPER_A4) {
      EXPECT_STREQ(paper_name, L"A4");
      EXPECT_EQ(sizes[i].x, 2100);
      EXPECT_EQ(sizes[i].y, 2970);
    } else {
      EXPECT_EQ(ids[i], DMPAPER_LETTER);
      EXPECT_STREQ(paper_name, L"Letter");
      EXPECT_EQ(sizes[i].x, 2159);
      EXPECT_EQ(sizes[i].y, 2794);
    }
  }
  EXPECT_NE(std::find(ids.begin(), ids.end(), dm.dmPaperSize), ids.end());
  EXPECT_EQ(ask(DC_MINEXTENT), static_cast<DWORD>(MAKELONG(2100, 2794)));
  EXPECT_EQ(ask(DC_MAXEXTENT), static_cast<DWORD>(MAKELONG(2159, 2970)));

  LONG resolution[2] = {};
  EXPECT_EQ(ask(DC_ENUMRESOLUTIONS, resolution), 1u);
  EXPECT_EQ(resolution[0], dm.dmPrintQuality);
  EXPECT_EQ(resolution[1], dm.dmYResolution);
  EXPECT_EQ(ask(DC_COPIES), driver_ui::kMaxCopies);
  EXPECT_EQ(ask(DC_COLORDEVICE), 1u);
  EXPECT_EQ(ask(DC_DUPLEX), 0u);
  EXPECT_EQ(ask(DC_PRINTERMEM), static_cast<DWORD>(GDI_ERROR));
}

TEST_F(DriverUiTest, AcceptsPrinterAndDriverEvents) {
  auto printer_event =
      reinterpret_cast<PrinterEventFunction>(GetProcAddress(module_, "DrvPrinterEvent"));
  auto driver_event =
      reinterpret_cast<DriverEventFunction>(GetProcAddress(module_, "DrvDriverEvent"));
  ASSERT_NE(printer_event, nullptr);
  ASSERT_NE(driver_event, nullptr);
  wchar_t name[] = L"Lumenquill";
  EXPECT_TRUE(printer_event(name, PRINTER_EVENT_INITIALIZE, 0, 0));
  EXPECT_TRUE(printer_event(name, PRINTER_EVENT_DELETE, 0, 0));
  EXPECT_TRUE(driver_event(DRIVER_EVENT_INITIALIZE, 6, nullptr, 0));
  EXPECT_TRUE(driver_event(DRIVER_EVENT_DELETE, 6, nullptr, 0));
}

TEST(RenderingDll, IsAUserModeDriverThatDoesNotRender) {
  HMODULE module = LoadLibraryW(PayloadFile(L"kvndrv64.dll").c_str());
  ASSERT_NE(module, nullptr) << GetLastError();
  using QueryFunction = BOOL(APIENTRY*)(DWORD, PVOID, DWORD, PDWORD);
  using EnableFunction = BOOL(APIENTRY*)(ULONG, ULONG, void*);
  auto query = reinterpret_cast<QueryFunction>(GetProcAddress(module, "DrvQueryDriverInfo"));
  auto enable = reinterpret_cast<EnableFunction>(GetProcAddress(module, "DrvEnableDriver"));
  ASSERT_NE(query, nullptr);
  ASSERT_NE(enable, nullptr);
  ASSERT_NE(GetProcAddress(module, "DrvDisableDriver"), nullptr);

  const DWORD kUserMode = 1;  // DRVQUERY_USERMODE
  DWORD answer = 0;
  DWORD needed = 0;
  EXPECT_FALSE(query(kUserMode, &answer, 2, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(DWORD));
  EXPECT_TRUE(query(kUserMode, &answer, sizeof(answer), &needed));
  EXPECT_EQ(answer, static_cast<DWORD>(TRUE));
  EXPECT_FALSE(query(2, &answer, sizeof(answer), &needed));

  unsigned char enable_data[16] = {};
  EXPECT_FALSE(enable(0x00030100, sizeof(enable_data), enable_data));
  FreeLibrary(module);
}

}  // namespace
