// icacls.exe for the token tests: appends its arguments, one a line and then a "--" line, to
// C:\ProgramData\Tolm\icacls-args.txt, floods its standard output and error (a caller that does
// not drain both would hang here) and exits 0; or never ends, when icacls-hangs is beside that
// file. Placed next to the tests, it is found before the system's icacls.
#include <windows.h>

#include <string>

namespace {

std::string utf8(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

void write_all(HANDLE to, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(to, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::string record;
  for (int i = 1; i < argc; ++i) record += utf8(argv[i]) + "\n";
  record += "--\n";
  CreateDirectoryW(L"C:\\ProgramData\\Tolm", nullptr);
  const HANDLE log = CreateFileW(L"C:\\ProgramData\\Tolm\\icacls-args.txt", FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return 1;
  write_all(log, record);
  CloseHandle(log);
  // Several times a pipe's buffer, on both streams.
  const std::string chatter(64 * 1024, 'x');
  for (int i = 0; i < 4; ++i) {
    write_all(GetStdHandle(STD_OUTPUT_HANDLE), chatter);
    write_all(GetStdHandle(STD_ERROR_HANDLE), chatter);
  }
  if (GetFileAttributesW(L"C:\\ProgramData\\Tolm\\icacls-hangs") != INVALID_FILE_ATTRIBUTES) {
    Sleep(INFINITE);
  }
  return 0;
}
