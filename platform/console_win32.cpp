#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/console.h"
#include "platform/signals.h"
#include "platform/writes.h"

namespace varnock {
namespace {

// Set by the thread that waits for a key; it outlives any ProcessConsole, so
// it shares nothing else with one.
std::atomic<bool> g_key_read{false};

bool is_key_press(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || record.Event.KeyEvent.bKeyDown == 0) return false;
  // The Ctrl of a Ctrl+C, the Shift of a capital: not keys on their own.
  switch (record.Event.KeyEvent.wVirtualKeyCode) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
      return false;
    default:
      return true;
  }
}

// Polling (_kbhit, PeekConsoleInput, PeekNamedPipe) sees keys on Windows, but
// under wine it never does: only a blocked read receives them. A thread
// blocked in a read works on both. On a console, the key it reads is written
// back, so that it stays in the console's input for whoever reads next; from
// a pipe, the byte is taken (a pipe cannot be written back to).
DWORD WINAPI wait_for_console_key(void* input) {
  const HANDLE in = input;
  INPUT_RECORD record{};
  DWORD read = 0;
  while (ReadConsoleInputW(in, &record, 1, &read) != 0) {
    if (read == 1 && is_key_press(record)) {
      DWORD written = 0;
      WriteConsoleInputW(in, &record, 1, &written);
      g_key_read.store(true);
      return 0;
    }
  }
  return 0;
}

// Ends without a key when the pipe is closed with nothing in it.
DWORD WINAPI wait_for_pipe_byte(void* input) {
  char byte = 0;
  DWORD read = 0;
  if (ReadFile(input, &byte, 1, &read, nullptr) != 0 && read == 1) g_key_read.store(true);
  return 0;
}

bool start_thread(LPTHREAD_START_ROUTINE wait_for_key, HANDLE in) {
  const HANDLE thread = CreateThread(nullptr, 0, wait_for_key, in, 0, nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);  // never joined: it ends with its key or with the process
  return true;
}

// A key press already in the console's input, without taking it.
bool key_in_console_input(HANDLE in) {
  INPUT_RECORD records[64];
  DWORD n = 0;
  if (PeekConsoleInputW(in, records, 64, &n) == 0) return false;
  for (DWORD i = 0; i < n; ++i) {
    if (is_key_press(records[i])) return true;
  }
  return false;
}

}  // namespace

struct ProcessConsole::State {
  enum class Input { kConsole, kPipe, kNever };

  Input input = Input::kNever;
  HANDLE in = nullptr;
  bool mode_set = false;  // the console is in the mode this process set
  DWORD saved_mode = 0;   // its mode from before, restored at the end
};

ProcessConsole::ProcessConsole() : state_(std::make_unique<State>()) {
  hold_run_signals(RunSignals::kStopAndSuspend);
  State& s = *state_;
  s.in = GetStdHandle(STD_INPUT_HANDLE);
  if (s.in == nullptr || s.in == INVALID_HANDLE_VALUE) return;  // none: never a key
  const DWORD type = GetFileType(s.in);
  if (type == FILE_TYPE_PIPE) {
    if (start_thread(wait_for_pipe_byte, s.in)) s.input = State::Input::kPipe;
    return;
  }
  if (type != FILE_TYPE_CHAR || GetConsoleMode(s.in, &s.saved_mode) == 0) return;  // NUL
  // Ctrl+C stays a signal; quick edit goes, since a click that starts a
  // selection would freeze the output, and with it the run; mouse and window
  // events are not wanted.
  const DWORD run_mode =
      (s.saved_mode | ENABLE_PROCESSED_INPUT | ENABLE_EXTENDED_FLAGS) &
      ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT | ENABLE_WINDOW_INPUT);
  s.mode_set = SetConsoleMode(s.in, run_mode) != 0;
  if (start_thread(wait_for_console_key, s.in)) s.input = State::Input::kConsole;
}

ProcessConsole::~ProcessConsole() {
  if (state_->mode_set) SetConsoleMode(state_->in, state_->saved_mode);
}

void ProcessConsole::write(std::string_view text) { write_flushed(stdout, text); }

bool ProcessConsole::key_waiting() {
  const State& s = *state_;
  switch (s.input) {
    case State::Input::kConsole:
      return g_key_read.load() || key_in_console_input(s.in);
    case State::Input::kPipe:
      return g_key_read.load();
    case State::Input::kNever:
      return false;
  }
  return false;
}

int ProcessConsole::stop_signal() { return received_stop_signal(); }

}  // namespace varnock
