// Linked into the extension module only when libstdc++ is linked statically.
//
// libstdc++ (built against glibc 2.32 or newer) reads glibc's __libc_single_threaded to
// skip atomic operations while a process has only one thread: in its reference-counted
// strings (which std::logic_error and the other standard exceptions carry) and in the
// guards of function-local statics. That one variable alone would make the module need
// glibc 2.32. This definition, local to the module (the version script exports nothing
// but PyInit__core), answers "not single-threaded" for good, so the copies of libstdc++
// inside the module always take their atomic paths: correct whatever threads the
// interpreter runs, at the cost of an atomic instruction where glibc's flag would have
// spared it. The module's hot paths touch neither strings' reference counts nor guards.
extern "C" {
// NOLINTNEXTLINE(bugprone-reserved-identifier): the C library's own name.
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;
}
