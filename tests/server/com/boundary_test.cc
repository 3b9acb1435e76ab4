// Inputs at the edge of the automation interface, through the method table
// and by name through IDispatch: null pointers in every position, empty and
// very long texts, embedded NULs, separators and angle brackets in widget
// names, zero and negative sizes, and (by name) wrong argument counts and
// types. Every call gives its exact result, nothing crashes, and the
// registration file still loads afterwards with the records the calls made.
// Last, several processes notify at once and every record is kept once.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "install/record_layout.h"
#include "platform/file.h"
#include "platform/shell.h"
#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/server/com/server_library.h"
#include "tests/testing/registration_records.h"
#include "tests/testing/variants.h"

using orvo::store::CreateConfigFile;

namespace orvo::server {
namespace {

constexpr char kChildFlag[] = "--notify-child";
constexpr int kChildProcesses = 4;
constexpr int kCallsPerChild = 10;

constexpr HRESULT kDuplicate = 2;
constexpr LONG kUntouched = -7;

using Bytes = std::vector<uint8_t>;
using Values = std::map<std::u16string, Bytes>;
// An automation string argument; nullopt is a null BSTR.
using Text = std::optional<std::wstring>;

std::u16string RegistrationFile() {
  char16_t folder[platform::kMaxPath] = {};
  EXPECT_TRUE(platform::CommonAppDataFolder(folder));
  std::u16string path(folder);
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  return path + install::kSuiteFolder + install::kRegistrationFile;
}

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Removes the registration file with its side file and kept copy, so that a
// test starts from no file at all.
void RemoveRegistrationFiles() {
  for (const char16_t* suffix : {u"", u".new", u".old"}) {
    DeleteFileW(Wide(RegistrationFile() + suffix));
  }
}

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// A BSTR whose length prefix counts every unit of |text|, NULs included.
UniqueBstr MakeBstr(const Text& text) {
  if (!text) return UniqueBstr();
  return UniqueBstr(SysAllocStringLen(text->data(), static_cast<UINT>(text->size())));
}

// A string value as the store keeps it: the text up to its first NUL with
// the terminator; a text whose bytes exceed the 16-bit length is not kept.
std::optional<Bytes> Stored(const std::wstring& text) {
  const size_t units = wcsnlen(text.c_str(), text.size());
  if ((units + 1) * 2 > 65535) return std::nullopt;
  Bytes bytes((units + 1) * 2, 0);
  std::memcpy(bytes.data(), text.data(), units * 2);
  return bytes;
}

Bytes LittleEndian(int32_t x) {
  const uint32_t u = static_cast<uint32_t>(x);
  return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
          static_cast<uint8_t>(u >> 24)};
}

// --- The registration file ----------------------------------------------------

// What the file holds: whether it loaded, applications in order, widgets by
// key name.
using Records = orvo::testing::RegistrationRecords;

Records ReadRecords() { return orvo::testing::ReadRegistrationRecords(RegistrationFile()); }

// Puts the stored form of |text| (when it is given and kept) under |name|.
void PutStored(Values* values, const char16_t* name, const Text& text) {
  if (!text) return;
  if (std::optional<Bytes> bytes = Stored(*text)) (*values)[name] = *bytes;
}

// --- Calls -------------------------------------------------------------------------

// Arguments of NotifyApplicationInstalled, in its order.
struct AppCall {
  Text call_name, name, version, install_dir, main_program_path, param, main_icon_path, desc;

  Text* Slot(int i) {
    Text* slots[] = {&call_name,         &name,  &version,        &install_dir,
                     &main_program_path, &param, &main_icon_path, &desc};
    return slots[i];
  }
  Values Record() const {
    Values v;
    PutStored(&v, install::kValueName, name);
    PutStored(&v, install::kValueMainProgramPath, main_program_path);
    PutStored(&v, install::kValueMainIcon, main_icon_path);
    PutStored(&v, install::kValueVersion, version);
    PutStored(&v, install::kValueInstallDir, install_dir);
    PutStored(&v, install::kValueDesc, desc);
    PutStored(&v, install::kValueCaller, call_name);
    PutStored(&v, install::kValueParam, param);
    return v;
  }
};

AppCall FullApp(const std::wstring& tag) {
  return {L"setup-" + tag,
          L"App " + tag,
          L"1." + tag,
          L"C:\\Apps\\" + tag,
          L"C:\\Apps\\" + tag + L"\\main.exe",
          L"--" + tag,
          L"C:\\Apps\\" + tag + L"\\main.ico",
          L"About " + tag};
}

// Arguments of NotifyWidgetInstalled, in its order.
struct WidgetCall {
  Text call_name, name, version, install_dir, main_program_path, main_icon_path, desc;
  int width = 120;
  int height = 80;

  Text* Slot(int i) {
    Text* slots[] = {&call_name,         &name,           &version, &install_dir,
                     &main_program_path, &main_icon_path, &desc};
    return slots[i];
  }
  Values Record() const {
    Values v;
    PutStored(&v, install::kValueName, name);
    PutStored(&v, install::kValueMainProgramPath, main_program_path);
    PutStored(&v, install::kValueMainIcon, main_icon_path);
    v[install::kValueWidth] = LittleEndian(width);
    v[install::kValueHeight] = LittleEndian(height);
    PutStored(&v, install::kValueVersion, version);
    PutStored(&v, install::kValueInstallDir, install_dir);
    PutStored(&v, install::kValueDesc, desc);
    PutStored(&v, install::kValueCaller, call_name);
    return v;
  }
};

WidgetCall FullWidget(const std::wstring& name) {
  return {L"wsetup.exe",
          name,
          L"3.1",
          L"C:\\Widgets\\" + name,
          L"C:\\Widgets\\" + name + L"\\w.exe",
          L"C:\\Widgets\\" + name + L"\\w.ico",
          L"Widget " + name};
}

// What the caller saw: the returned HRESULT, by name the code carried by
// DISP_E_EXCEPTION, and the error code the method stored.
struct Outcome {
  HRESULT hr;
  SCODE scode;
  LONG code;
};

// Invoke arguments, given in the method's order.
class Arguments {
 public:
  Arguments& Add(const VARIANT& v) {
    args_.push_back(v);
    return *this;
  }
  Arguments& Bstr(BSTR value) { return Add(orvo::testing::BstrVariant(value)); }
  Arguments& Int(int value) { return Add(orvo::testing::I4Variant(value)); }
  Arguments& IntOut(LONG* target) { return Add(orvo::testing::I4RefVariant(target)); }

  // In the reverse order that IDispatch wants.
  DISPPARAMS Params() {
    reversed_.assign(args_.rbegin(), args_.rend());
    return DISPPARAMS{reversed_.data(), nullptr, static_cast<UINT>(reversed_.size()), 0};
  }

 private:
  std::vector<VARIANT> args_;
  std::vector<VARIANT> reversed_;
};

// Calls method |name| by name; scode is the EXCEPINFO's code.
Outcome InvokeByName(IDispatch* object, const wchar_t* name, Arguments& args) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT found = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(found)) return {found, 0, 0};
  DISPPARAMS params = args.Params();
  EXCEPINFO exception = {};
  UINT arg_error = 0;
  UniqueVariant result;
  Outcome out{object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                             &exception, &arg_error),
              0, 0};
  if (out.hr == DISP_E_EXCEPTION) {
    if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
    out.scode = exception.scode;
  }
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return out;
}

enum class Channel { kMethodTable, kByName };

// Registered server, a fresh registration file, one object.
class BoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RemoveAllRegistration();
    RemoveRegistrationFiles();
    ASSERT_TRUE(server_.loaded());
    ASSERT_EQ(server_.RegisterServer(), S_OK);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_ICommonInterface, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IICommonInterface, common_.put_void()),
              S_OK);
    ASSERT_EQ(common_->QueryInterface(IID_IDispatch, dispatch_.put_void()), S_OK);
  }
  void TearDown() override {
    common_.reset();
    dispatch_.reset();
    CoUninitialize();
    EXPECT_EQ(server_.UnregisterServer(), S_OK);
    testing::RemoveAllRegistration();
    RemoveRegistrationFiles();
  }

  Outcome App(Channel channel, const AppCall& c, bool with_code = true) {
    UniqueBstr s[8] = {MakeBstr(c.call_name),         MakeBstr(c.name),
                       MakeBstr(c.version),           MakeBstr(c.install_dir),
                       MakeBstr(c.main_program_path), MakeBstr(c.param),
                       MakeBstr(c.main_icon_path),    MakeBstr(c.desc)};
    LONG code = kUntouched;
    if (channel == Channel::kMethodTable) {
      int int_code = kUntouched;
      const HRESULT hr = common_->NotifyApplicationInstalled(
          s[0].get(), s[1].get(), s[2].get(), s[3].get(), s[4].get(), s[5].get(), s[6].get(),
          s[7].get(), with_code ? &int_code : nullptr);
      return {hr, 0, int_code};
    }
    Arguments args;
    for (const UniqueBstr& b : s) args.Bstr(b.get());
    args.IntOut(with_code ? &code : nullptr);
    Outcome out = InvokeByName(dispatch_.get(), L"NotifyApplicationInstalled", args);
    out.code = code;
    return out;
  }

  Outcome Widget(Channel channel, const WidgetCall& c, bool with_code = true) {
    UniqueBstr s[7] = {MakeBstr(c.call_name),
                       MakeBstr(c.name),
                       MakeBstr(c.version),
                       MakeBstr(c.install_dir),
                       MakeBstr(c.main_program_path),
                       MakeBstr(c.main_icon_path),
                       MakeBstr(c.desc)};
    LONG code = kUntouched;
    if (channel == Channel::kMethodTable) {
      int int_code = kUntouched;
      const HRESULT hr = common_->NotifyWidgetInstalled(
          s[0].get(), s[1].get(), s[2].get(), s[3].get(), s[4].get(), s[5].get(), s[6].get(),
          c.width, c.height, with_code ? &int_code : nullptr);
      return {hr, 0, int_code};
    }
    Arguments args;
    for (const UniqueBstr& b : s) args.Bstr(b.get());
    args.Int(c.width).Int(c.height).IntOut(with_code ? &code : nullptr);
    Outcome out = InvokeByName(dispatch_.get(), L"NotifyWidgetInstalled", args);
    out.code = code;
    return out;
  }

  testing::ServerLibrary server_;
  ComPtr<IICommonInterface> common_;
  ComPtr<IDispatch> dispatch_;
};

// The result |method_result| with error code |code| as the caller sees it:
// through the method table the HRESULT itself; by name a failure arrives as
// DISP_E_EXCEPTION carrying it and any success code as S_OK.
void ExpectResult(Channel channel, const Outcome& got, HRESULT method_result, LONG code) {
  if (channel == Channel::kMethodTable) {
    EXPECT_EQ(got.hr, method_result);
  } else if (FAILED(method_result)) {
    EXPECT_EQ(got.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(got.scode, method_result);
  } else {
    EXPECT_EQ(got.hr, S_OK);
  }
  EXPECT_EQ(got.code, code);
}

class BoundaryChannelTest : public BoundaryTest, public ::testing::WithParamInterface<Channel> {};

TEST_P(BoundaryChannelTest, NullStringInEachPosition) {
  const Channel channel = GetParam();
  std::vector<Values> apps;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    AppCall call = FullApp(std::to_wstring(i));
    *call.Slot(i) = std::nullopt;
    const bool required = i == 1 || i == 4 || i == 6;  // name, main program path, icon
    ExpectResult(channel, App(channel, call), required ? E_INVALIDARG : S_OK, required ? 1 : 0);
    if (!required) apps.push_back(call.Record());
  }
  std::map<std::u16string, Values> widgets;
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    WidgetCall call = FullWidget(L"W" + std::to_wstring(i));
    *call.Slot(i) = std::nullopt;
    const bool required = i == 1 || i == 4 || i == 5;  // name, main program path, icon
    ExpectResult(channel, Widget(channel, call), required ? E_INVALIDARG : S_OK, required ? 1 : 0);
    if (!required) widgets[U16(*call.name)] = call.Record();
  }
  const Records records = ReadRecords();
  ASSERT_TRUE(records.loaded);
  EXPECT_EQ(records.apps, apps);
  EXPECT_EQ(records.widgets, widgets);
}

TEST_P(BoundaryChannelTest, NullErrorCodePointerOnEveryPath) {
  const Channel channel = GetParam();
  const AppCall app = FullApp(L"quiet");
  ExpectResult(channel, App(channel, app, false), S_OK, kUntouched);
  ExpectResult(channel, App(channel, app, false), kDuplicate, kUntouched);
  AppCall nameless = app;
  nameless.name = std::nullopt;
  ExpectResult(channel, App(channel, nameless, false), E_INVALIDARG, kUntouched);

  const WidgetCall widget = FullWidget(L"Quiet");
  ExpectResult(channel, Widget(channel, widget, false), S_OK, kUntouched);
  WidgetCall flat = widget;
  flat.height = 0;
  ExpectResult(channel, Widget(channel, flat, false), E_INVALIDARG, kUntouched);
  WidgetCall bracketed = widget;
  bracketed.name = L"Qu<iet";
  ExpectResult(channel, Widget(channel, bracketed, false), E_INVALIDARG, kUntouched);

  const Records records = ReadRecords();
  ASSERT_TRUE(records.loaded);
  EXPECT_EQ(records.apps, std::vector<Values>{app.Record()});
  EXPECT_EQ(records.widgets, (std::map<std::u16string, Values>{{u"Quiet", widget.Record()}}));
}

// Every text argument of one length, for each length.
TEST_P(BoundaryChannelTest, TextsOfEveryLength) {
  const Channel channel = GetParam();
  const size_t lengths[] = {0, 255, 256, 32766, 32767, 100000};
  std::vector<Values> apps;
  std::map<std::u16string, Values> widgets;
  wchar_t fill = L'a';
  for (size_t length : lengths) {
    SCOPED_TRACE(length);
    AppCall app;
    WidgetCall widget;
    widget.width = widget.height = 1;
    for (int i = 0; i < 8; ++i) {
      // Distinct texts per argument and per length.
      *app.Slot(i) = std::wstring(length, static_cast<wchar_t>(fill + i));
      if (i < 7) *widget.Slot(i) = std::wstring(length, static_cast<wchar_t>(fill + i));
    }
    fill = static_cast<wchar_t>(fill + 8);
    // Required texts too long for a value are refused before anything is
    // written (E_INVALIDARG mirrored); shorter ones are stored whole.
    const bool fits = length <= 32766;
    ExpectResult(channel, App(channel, app), fits ? S_OK : E_INVALIDARG, fits ? 0 : E_INVALIDARG);
    if (fits) apps.push_back(app.Record());
    ExpectResult(channel, Widget(channel, widget), fits ? S_OK : E_INVALIDARG,
                 fits ? 0 : E_INVALIDARG);
    // The key is named with at most 255 units; "Name" keeps what fits.
    if (fits) widgets[U16(widget.name->substr(0, 255))] = widget.Record();
  }
  // Registered again: every stored path is found, whatever its length.
  fill = L'a';
  for (size_t length : lengths) {
    SCOPED_TRACE(length);
    AppCall again;
    again.name = L"again";
    again.main_program_path = std::wstring(length, static_cast<wchar_t>(fill + 4));
    again.main_icon_path = L"";
    fill = static_cast<wchar_t>(fill + 8);
    if (length <= 32766) {
      ExpectResult(channel, App(channel, again), kDuplicate, kDuplicate);
    } else {
      ExpectResult(channel, App(channel, again), E_INVALIDARG, E_INVALIDARG);
    }
  }
  const Records records = ReadRecords();
  ASSERT_TRUE(records.loaded);
  EXPECT_EQ(records.apps.size(), apps.size());
  EXPECT_TRUE(records.apps == apps);  // large: not printed
  EXPECT_EQ(records.widgets.size(), widgets.size());
  EXPECT_TRUE(records.widgets == widgets);
}

TEST_P(BoundaryChannelTest, EmbeddedNulCutsTheText) {
  const Channel channel = GetParam();
  AppCall app = FullApp(L"nul");
  app.main_program_path = std::wstring(L"C:\\nul.exe\0C:\\hidden.exe", 25);
  app.desc = std::wstring(L"\0after", 6);  // given, but empty up to its NUL
  ExpectResult(channel, App(channel, app), S_OK, 0);
  // The stored path is the text before the NUL.
  AppCall same = FullApp(L"other");
  same.main_program_path = L"c:\\NUL.EXE";
  ExpectResult(channel, App(channel, same), kDuplicate, kDuplicate);
  AppCall hidden = FullApp(L"hidden");
  hidden.main_program_path = L"C:\\hidden.exe";
  ExpectResult(channel, App(channel, hidden), S_OK, 0);

  WidgetCall widget = FullWidget(L"Clock");
  widget.name = std::wstring(L"Clock\0Hidden", 12);
  ExpectResult(channel, Widget(channel, widget), S_OK, 0);

  const Records records = ReadRecords();
  ASSERT_TRUE(records.loaded);
  EXPECT_EQ(records.apps, (std::vector<Values>{app.Record(), hidden.Record()}));
  ASSERT_EQ(records.widgets.size(), 1u);
  ASSERT_EQ(records.widgets.count(u"Clock"), 1u);
  EXPECT_EQ(records.widgets.at(u"Clock"), widget.Record());
  EXPECT_EQ(records.widgets.at(u"Clock").at(u"Name"), *Stored(L"Clock"));
}

TEST_P(BoundaryChannelTest, SeparatorsAndAngleBracketsInWidgetNames) {
  const Channel channel = GetParam();
  const struct {
    const wchar_t* name;
    const char16_t* key;  // null: refused
  } cases[] = {
      {L"Dir\\Clock", u"Dir"},  // named by the part before the separator
      {L"dir/Other", u"dir"},   // the same key: replaced by a record of the new name
      {L"Sun<", nullptr},      {L">Moon", nullptr},
      {L"a<b>c", nullptr},     {L"Safe\\<x>", u"Safe"},  // after the end: not part of it
      {L"Tail/", u"Tail"},
  };
  std::map<std::u16string, Values> widgets;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const WidgetCall call = FullWidget(c.name);
    if (c.key == nullptr) {
      ExpectResult(channel, Widget(channel, call), E_INVALIDARG, E_INVALIDARG);
    } else {
      ExpectResult(channel, Widget(channel, call), S_OK, 0);
      // Key names differ from each other in more than ASCII letter case.
      for (auto it = widgets.begin(); it != widgets.end();) {
        it = _wcsicmp(Wide(it->first), Wide(c.key)) == 0 ? widgets.erase(it) : std::next(it);
      }
      widgets[c.key] = call.Record();
    }
  }
  // Angle brackets and separators in an application's texts are only values.
  AppCall app = FullApp(L"<brackets>");
  app.name = L"a/b\\<c>";
  ExpectResult(channel, App(channel, app), S_OK, 0);

  const Records records = ReadRecords();
  ASSERT_TRUE(records.loaded);
  EXPECT_EQ(records.widgets, widgets);
  EXPECT_EQ(records.apps, std::vector<Values>{app.Record()});
}

TEST_P(BoundaryChannelTest, ZeroAndNegativeSizes) {
  const Channel channel = GetParam();
  const struct {
    int width, height;
    bool accepted;
  } cases[] = {{0, 80, false},   {120, 0, false},          {0, 0, false},           {-1, -1, true},
               {-160, 90, true}, {INT_MIN, INT_MAX, true}, {INT_MAX, INT_MIN, true}};
  std::map<std::u16string, Values> widgets;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    WidgetCall call = FullWidget(L"Size" + std::to_wstring(n++));
    call.width = c.width;
    call.height = c.height;
    if (c.accepted) {
      ExpectResult(channel, Widget(channel, call), S_OK, 0);
      widgets[U16(*call.name)] = call.Record();
    } else {
      ExpectResult(channel, Widget(channel, call), E_INVALIDARG, 1);
    }
  }
  const Records records = ReadRecords();
  ASSERT_TRUE(records.loaded);
  EXPECT_EQ(records.widgets, widgets);
}

INSTANTIATE_TEST_SUITE_P(Channels, BoundaryChannelTest,
                         ::testing::Values(Channel::kMethodTable, Channel::kByName),
                         [](const ::testing::TestParamInfo<Channel>& info) {
                           return info.param == Channel::kMethodTable ? "MethodTable" : "ByName";
                         });

TEST_F(BoundaryTest, NullOutPointersOfTheQuestions) {
  EXPECT_EQ(common_->CheckTamsiverInstalled(nullptr), S_OK);
  EXPECT_EQ(common_->GetTamsiverInformation(nullptr, nullptr, nullptr, nullptr), S_OK);
  Arguments check;
  check.IntOut(nullptr);
  EXPECT_EQ(InvokeByName(dispatch_.get(), L"CheckTamsiverInstalled", check).hr, S_OK);
  Arguments information;
  for (int i = 0; i < 4; ++i) information.Add(orvo::testing::BstrRefVariant(nullptr));
  EXPECT_EQ(InvokeByName(dispatch_.get(), L"GetTamsiverInformation", information).hr, S_OK);
}

// --- By name only: argument counts and types ------------------------------------------

// One registration first, so that a call that got through would show.
class BoundaryByNameTest : public BoundaryTest {
 protected:
  void SetUp() override {
    BoundaryTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(App(Channel::kMethodTable, registered_).hr, S_OK);
  }
  void ExpectNothingReachedTheFile() {
    const Records records = ReadRecords();
    ASSERT_TRUE(records.loaded);
    EXPECT_EQ(records.apps, std::vector<Values>{registered_.Record()});
    for (const auto& [name, values] : records.widgets) {
      ADD_FAILURE() << "a widget record was written: " << values.size() << " values";
    }
  }

  // A full argument list of NotifyWidgetInstalled with |replace| at
  // position |at|, or with nothing there when |replace| is null.
  Arguments WidgetArguments(int at, const VARIANT* replace, LONG* code) {
    Arguments args;
    for (int i = 0; i < 10; ++i) {
      if (i == at) {
        if (replace != nullptr) args.Add(*replace);
      } else if (i < 7) {
        args.Bstr(text_.get());
      } else if (i < 9) {
        args.Int(10);
      } else {
        args.IntOut(code);
      }
    }
    return args;
  }

  const AppCall registered_ = FullApp(L"first");
  UniqueBstr text_{SysAllocString(L"Gauge")};
};

// Full, well-typed argument lists of each method with |drop| arguments left
// off the front (the error code stays last) and |extra| integers appended.
Arguments MethodArguments(DISPID id, BSTR text, LONG* code, BSTR* slot, int drop, int extra) {
  std::vector<VARIANT> all;
  Arguments builder;
  auto add_text = [&] { all.push_back(orvo::testing::BstrVariant(text)); };
  auto add_int = [&](int value) { all.push_back(orvo::testing::I4Variant(value)); };
  const VARIANT out = orvo::testing::I4RefVariant(code);
  if (id == 1) all.push_back(out);
  if (id == 2) {
    for (int i = 0; i < 4; ++i) all.push_back(orvo::testing::BstrRefVariant(slot));
  }
  if (id == 3) {
    for (int i = 0; i < 8; ++i) add_text();
    all.push_back(out);
  }
  if (id == 4) {
    for (int i = 0; i < 7; ++i) add_text();
    add_int(10);
    add_int(10);
    all.push_back(out);
  }
  for (size_t i = static_cast<size_t>(drop); i < all.size(); ++i) builder.Add(all[i]);
  for (int i = 0; i < extra; ++i) {
    add_int(99);
    builder.Add(all.back());
  }
  return builder;
}

const wchar_t* MethodName(DISPID id) {
  static const wchar_t* const names[] = {L"", L"CheckTamsiverInstalled", L"GetTamsiverInformation",
                                         L"NotifyApplicationInstalled", L"NotifyWidgetInstalled"};
  return names[id];
}

TEST_F(BoundaryByNameTest, TooFewArguments) {
  LONG code = kUntouched;
  BSTR slot = text_.get();
  const struct {
    DISPID id;
    int drop;
  } cases[] = {{1, 1}, {2, 1}, {2, 4}, {3, 1}, {3, 9}, {4, 1}, {4, 3}, {4, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::wstring(MethodName(c.id)) + L" less " + std::to_wstring(c.drop));
    Arguments args = MethodArguments(c.id, text_.get(), &code, &slot, c.drop, 0);
    EXPECT_EQ(InvokeByName(dispatch_.get(), MethodName(c.id), args).hr, DISP_E_BADPARAMCOUNT);
  }
  EXPECT_EQ(code, kUntouched);
  EXPECT_EQ(slot, text_.get());
  ExpectNothingReachedTheFile();
}

// Wine's type information does not count arguments beyond the method's
// parameters: the call goes through with the arguments in their places and
// the extra ones unused. (A stricter dispatcher refuses the call with
// DISP_E_BADPARAMCOUNT.) Either way the method sees only well-typed arguments.
TEST_F(BoundaryByNameTest, ExtraArgumentsAreNotPassedOn) {
  LONG code = kUntouched;
  BSTR slot = text_.get();
  Arguments args = MethodArguments(4, text_.get(), &code, &slot, 0, 2);
  const Outcome out = InvokeByName(dispatch_.get(), MethodName(4), args);
  if (out.hr == DISP_E_BADPARAMCOUNT) {
    EXPECT_EQ(code, kUntouched);
    ExpectNothingReachedTheFile();
    return;
  }
  ASSERT_EQ(out.hr, S_OK);
  EXPECT_EQ(code, 0);
  const Records records = ReadRecords();
  ASSERT_EQ(records.widgets.count(u"Gauge"), 1u);
  const Values& gauge = records.widgets.at(u"Gauge");
  EXPECT_EQ(gauge.at(install::kValueWidth), LittleEndian(10));
  EXPECT_EQ(gauge.at(install::kValueHeight), LittleEndian(10));
}

TEST_F(BoundaryByNameTest, ArgumentsThatCannotBeConverted) {
  ComPtr<IUnknown> object(common_.get());
  const VARIANT unknown = orvo::testing::UnknownVariant(object.get());
  const VARIANT dispatch = orvo::testing::DispatchVariant(dispatch_.get());
  UniqueBstr words(SysAllocString(L"wide"));
  const VARIANT string = orvo::testing::BstrVariant(words.get());
  // "Not given", as a script marks a left-out argument: no parameter here
  // is optional, so Wine refuses it as it refuses any other wrong type.
  const VARIANT missing = orvo::testing::MissingVariant();

  const struct {
    const char* what;
    int at;
    const VARIANT* value;
  } cases[] = {
      {"object for the width", 7, &unknown}, {"dispatch object for the height", 8, &dispatch},
      {"text for the width", 7, &string},    {"object for the name", 1, &unknown},
      {"missing name", 1, &missing},         {"missing width", 7, &missing},

  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LONG code = kUntouched;
    Arguments args = WidgetArguments(c.at, c.value, &code);
    EXPECT_EQ(InvokeByName(dispatch_.get(), L"NotifyWidgetInstalled", args).hr,
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(code, kUntouched);
    ExpectNothingReachedTheFile();
  }
}

// Wine looks at the variant given for an out parameter only after the call,
// when it copies the result back: the registration is made, complete, and
// the caller is told DISP_E_TYPEMISMATCH. (A stricter dispatcher refuses
// the call before it is made.) The error code's variable is left alone.
TEST_F(BoundaryByNameTest, ErrorCodeOfTheWrongKind) {
  VARIANT missing = orvo::testing::MissingVariant();
  LONG other = kUntouched;
  VARIANT wrong_reference = orvo::testing::VariantOf(VT_I2 | VT_BYREF);  // a 16-bit integer
  wrong_reference.piVal = reinterpret_cast<SHORT*>(&other);
  for (const VARIANT* value : {&missing, &wrong_reference}) {
    SCOPED_TRACE(value->vt);
    LONG code = kUntouched;
    Arguments args = WidgetArguments(9, value, &code);
    const HRESULT hr = InvokeByName(dispatch_.get(), L"NotifyWidgetInstalled", args).hr;
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(code, kUntouched);
    const Records records = ReadRecords();
    if (hr == DISP_E_TYPEMISMATCH && !records.widgets.empty()) {
      WidgetCall expected = FullWidget(L"Gauge");
      expected.call_name = expected.version = expected.install_dir = expected.main_program_path =
          expected.main_icon_path = expected.desc = L"Gauge";
      expected.width = expected.height = 10;
      EXPECT_EQ(records.widgets, (std::map<std::u16string, Values>{{u"Gauge", expected.Record()}}));
    }
  }
  EXPECT_EQ(other, kUntouched);
}

// What the type information converts reaches the method converted.
TEST_F(BoundaryByNameTest, ArgumentsThatAreConverted) {
  UniqueBstr twelve(SysAllocString(L"12"));
  const VARIANT text_number = orvo::testing::BstrVariant(twelve.get());
  VARIANT small = orvo::testing::VariantOf(VT_I2);
  small.iVal = -3;
  const VARIANT number_for_text = orvo::testing::I4Variant(42);  // the name given as a number

  LONG code = kUntouched;
  Arguments converted;
  converted.Bstr(nullptr).Add(number_for_text).Bstr(text_.get()).Bstr(text_.get());
  converted.Bstr(text_.get()).Bstr(text_.get()).Bstr(text_.get()).Add(text_number).Add(small);
  converted.IntOut(&code);
  const Outcome out = InvokeByName(dispatch_.get(), L"NotifyWidgetInstalled", converted);
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_EQ(code, 0);
  const Records records = ReadRecords();
  ASSERT_EQ(records.widgets.count(u"42"), 1u);
  const Values& record = records.widgets.at(u"42");
  EXPECT_EQ(record.at(install::kValueName), *Stored(L"42"));
  EXPECT_EQ(record.at(install::kValueWidth), LittleEndian(12));
  EXPECT_EQ(record.at(install::kValueHeight), LittleEndian(-3));
}

// --- Several processes at once ---------------------------------------------------------

// The child's main program paths: distinct across children and calls.
std::wstring ChildPath(int child, int call) {
  return L"C:\\Child" + std::to_wstring(child) + L"\\app" + std::to_wstring(call) + L".exe";
}

// Run in a child process: kCallsPerChild registrations through an object
// made from the registered server. Returns the number of calls that failed.
int RunNotifyingChild(int child) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return kCallsPerChild;
  int failed = 0;
  {
    ComPtr<IICommonInterface> common;
    if (FAILED(CoCreateInstance(CLSID_ICommonInterface, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IICommonInterface, common.put_void()))) {
      failed = kCallsPerChild;
    }
    for (int call = 0; common && call < kCallsPerChild; ++call) {
      UniqueBstr name(SysAllocString(L"Child app"));
      UniqueBstr path(SysAllocString(ChildPath(child, call).c_str()));
      UniqueBstr icon(SysAllocString(L"C:\\child.ico"));
      int code = kUntouched;
      const HRESULT hr = common->NotifyApplicationInstalled(
          nullptr, name.get(), nullptr, nullptr, path.get(), nullptr, icon.get(), nullptr, &code);
      if (hr != S_OK || code != 0) ++failed;
    }
  }
  CoUninitialize();
  return failed;
}

TEST_F(BoundaryTest, SeveralProcessesNotifyAtOnce) {
  wchar_t self[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::vector<UniqueHandle> processes;
  for (int child = 0; child < kChildProcesses; ++child) {
    std::wstring command = testing::Quoted(self) + L" " +
                           std::wstring(kChildFlag, kChildFlag + std::strlen(kChildFlag)) + L" " +
                           std::to_wstring(child);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &info));
    CloseHandle(info.hThread);
    processes.emplace_back(info.hProcess);
  }
  std::vector<HANDLE> handles;
  for (const UniqueHandle& p : processes) handles.push_back(p.get());
  ASSERT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, 45000),
            WAIT_OBJECT_0);
  for (HANDLE p : handles) {
    DWORD exit_code = 1;
    ASSERT_TRUE(GetExitCodeProcess(p, &exit_code));
    EXPECT_EQ(exit_code, 0u);
  }

  const Records records = ReadRecords();
  ASSERT_TRUE(records.loaded);
  std::set<Bytes> paths;
  for (const Values& app : records.apps) {
    ASSERT_EQ(app.count(install::kValueMainProgramPath), 1u);
    EXPECT_TRUE(paths.insert(app.at(install::kValueMainProgramPath)).second) << "duplicate";
  }
  EXPECT_EQ(records.apps.size(), static_cast<size_t>(kChildProcesses * kCallsPerChild));
  for (int child = 0; child < kChildProcesses; ++child) {
    for (int call = 0; call < kCallsPerChild; ++call) {
      EXPECT_EQ(paths.count(*Stored(ChildPath(child, call))), 1u) << child << " " << call;
    }
  }
}

}  // namespace
}  // namespace orvo::server

// The test program, or with "--notify-child N" the notifying child.
int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], orvo::server::kChildFlag) == 0) {
    return orvo::server::RunNotifyingChild(std::atoi(argv[2]));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
