// Link glue that lets one module built with a current toolchain load on every x86-64 and aarch64 glibc
// from 2.17 on (the manylinux2014 policy). Only the module links this file (CMake option
// BRAMBLELOFT_MANYLINUX).
//
// A reference to a libc function binds to the newest version of it that the build machine's glibc has.
// The linker routes each reference listed in CMakeLists.txt (--wrap=NAME) to __wrap_NAME below, which
// binds to a version old systems have or does the work itself. Each replacement behaves as the newer
// symbol does, as far as this module can tell.
//
// The C++ runtime is linked in from libstdc++.a, built for the build machine's glibc. Two of its needs are
// met here: registering thread_local destructors (it calls __cxa_thread_atexit_impl, which glibc has only
// from 2.18 and the policy refuses) and the per-thread exception state (its own copy is reached through
// __tls_get_addr, which would make the module need the dynamic loader itself).

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

// The version each binding takes: where glibc 2.34 moved a function from libpthread or libdl into libc,
// the original version stays there as an alias, so the old name serves on either side of the move.
// libpthread.so.0 and libdl.so.2 are linked as needed libraries so that old systems look there.
// aarch64's glibc begins at 2.17: every function it has carries at least that version.
#if defined(__x86_64__)
#define BRAMBLELOFT_GLIBC_FIRST "GLIBC_2.2.5"
#define BRAMBLELOFT_GLIBC_GETNAME "GLIBC_2.12"
#elif defined(__aarch64__)
#define BRAMBLELOFT_GLIBC_FIRST "GLIBC_2.17"
#define BRAMBLELOFT_GLIBC_GETNAME "GLIBC_2.17"
#else
#error "the manylinux link glue knows the glibc symbol versions of x86-64 and aarch64 only"
#endif
extern "C" {
void* brambleloft_old_dlsym(void* handle, const char* name);
int brambleloft_old_pthread_getname_np(pthread_t thread, char* name, std::size_t size);
int brambleloft_old_pthread_key_create(pthread_key_t* key, void (*destructor)(void*));
int brambleloft_old_pthread_setspecific(pthread_key_t key, const void* value);
}
__asm__(".symver brambleloft_old_dlsym, dlsym@" BRAMBLELOFT_GLIBC_FIRST);
__asm__(".symver brambleloft_old_pthread_getname_np, pthread_getname_np@" BRAMBLELOFT_GLIBC_GETNAME);
__asm__(".symver brambleloft_old_pthread_key_create, pthread_key_create@" BRAMBLELOFT_GLIBC_FIRST);
__asm__(".symver brambleloft_old_pthread_setspecific, pthread_setspecific@" BRAMBLELOFT_GLIBC_FIRST);
// Built where the C++ runtime refers to them (CMakeLists.txt): GCC 16's reads its tunables
// (GLIBCXX_TUNABLES) with glibc 2.38's C23 strtoul, and salts the table behind waiting on atomics
// with glibc 2.36's arc4random.
#ifdef BRAMBLELOFT_STAND_IN___isoc23_strtoul
extern "C" unsigned long brambleloft_old_strtoul(const char* text, char** end, int base);
__asm__(".symver brambleloft_old_strtoul, strtoul@" BRAMBLELOFT_GLIBC_FIRST);
#endif

extern "C" {

void* __wrap_dlsym(void* handle, const char* name) { return brambleloft_old_dlsym(handle, name); }

int __wrap_pthread_getname_np(pthread_t thread, char* name, std::size_t size) {
  return brambleloft_old_pthread_getname_np(thread, name, size);
}

// glibc 2.32 lets libstdc++ skip atomic reference counting while a process has one thread. Zero, "maybe
// several threads", is always a correct answer; it only keeps the atomic instructions.
char __wrap___libc_single_threaded = 0;

#ifdef BRAMBLELOFT_STAND_IN___isoc23_strtoul
// C23 also reads a 0b prefix in base 0 or 2, where the older function stops after the 0.
unsigned long __wrap___isoc23_strtoul(const char* text, char** end, int base) {
  if (base == 0 || base == 2) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && (p[2] == '0' || p[2] == '1')) {
      const int saved_errno = errno;
      errno = 0;
      const unsigned long value = brambleloft_old_strtoul(p + 2, end, 2);
      if (errno == ERANGE) return value;  // ULONG_MAX, whatever the sign
      errno = saved_errno;
      return negative ? 0 - value : value;
    }
  }
  return brambleloft_old_strtoul(text, end, base);
}
#endif

#ifdef BRAMBLELOFT_STAND_IN_arc4random
// From the kernel's entropy, as glibc's own; like it, the process ends when there is none.
std::uint32_t __wrap_arc4random() {
  std::uint32_t value = 0;
  long got = 0;
  while ((got = syscall(SYS_getrandom, &value, sizeof value, 0)) != static_cast<long>(sizeof value)) {
    if (got < 0 && errno != EINTR) {
      std::fputs("cannot get entropy for arc4random\n", stderr);
      std::abort();
    }
  }
  return value;
}
#endif

}  // extern "C"

namespace {

// Destructors of this module's thread_local objects, run when their thread ends (newest first), as
// glibc's __cxa_thread_atexit_impl would. A thread ending through pthread_exit or a return runs them
// from the key's destructor; the thread that calls exit() runs them from atexit().
struct ThreadExitEntry {
  void (*destructor)(void*);
  void* object;
  ThreadExitEntry* next;
};

__attribute__((tls_model("initial-exec"))) thread_local ThreadExitEntry* thread_exit_entries = nullptr;
pthread_key_t thread_exit_key;

void run_thread_exit_entries(void*) {
  // A destructor may register another one; it runs too.
  while (ThreadExitEntry* entry = thread_exit_entries) {
    thread_exit_entries = entry->next;
    entry->destructor(entry->object);
    delete entry;
  }
}

void run_exiting_thread_entries() { run_thread_exit_entries(nullptr); }

bool thread_exit_key_made() {
  static const bool made = [] {
    if (brambleloft_old_pthread_key_create(&thread_exit_key, run_thread_exit_entries) != 0) return false;
    std::atexit(run_exiting_thread_entries);
    return true;
  }();
  return made;
}

// The Itanium C++ ABI's per-thread exception state, in the layout it fixes. libstdc++'s own copy is a
// general-dynamic thread-local; the initial-exec model reaches it without the dynamic loader's help.
struct ExceptionGlobals {
  void* caught_exceptions;
  unsigned int uncaught_exceptions;
};

__attribute__((tls_model("initial-exec"))) thread_local ExceptionGlobals exception_globals{};

}  // namespace

extern "C" {

int __wrap___cxa_thread_atexit_impl(void (*destructor)(void*), void* object, void* /*dso_handle*/) {
  // The module is never unloaded (CPython keeps extension modules), so the handle needs no bookkeeping.
  if (!thread_exit_key_made()) return -1;
  auto* entry = new (std::nothrow) ThreadExitEntry{destructor, object, thread_exit_entries};
  if (entry == nullptr) return -1;
  // Any non-null value makes the key's destructor run at thread exit.
  if (brambleloft_old_pthread_setspecific(thread_exit_key, entry) != 0) {
    delete entry;
    return -1;
  }
  thread_exit_entries = entry;
  return 0;
}

void* __cxa_get_globals_fast() noexcept { return &exception_globals; }
void* __cxa_get_globals() noexcept { return &exception_globals; }

}  // extern "C"
