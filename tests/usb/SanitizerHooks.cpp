// GLib and umockdev are not built with ThreadSanitizer: they synchronise their worker thread with
// GLib's own futex-based locks, which the sanitizer cannot see, so their own allocations and string
// copies look unsynchronised. libudev (used by umockdev's event sender and by libusb's hot-plug thread)
// fills a shared random seed from both threads. What these libraries do internally is not checked; the
// hardware source, libusb's calls into it, the driver and the emulation's own state stay checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libumockdev.so.0\n"
         "called_from_lib:libudev.so.1\n";
}
#endif
