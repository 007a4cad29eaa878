/* Stand-in for the toolchain's crtbeginS.o/crtendS.o in ARMv6 builds of the
 * extension modules (linked with -nostartfiles when armv6_crt is on).
 *
 * Debian's armhf start files are ARMv7 Thumb-2 code: their clone-table
 * registration runs from .init_array when the interpreter loads the module
 * and would fault on an ARM1176. What C++ in a shared object needs from them
 * is only this:
 *  - __dso_handle, which identifies this object to __cxa_atexit when static
 *    objects register their destructors;
 *  - a finaliser that runs those destructors when the object is unloaded
 *    (at exit the C library runs them anyway, but an unload must not leave
 *    handlers that point into unmapped code).
 * Constructors need nothing: the dynamic loader runs .init_array itself, and
 * ARM EHABI unwinding uses .ARM.exidx, not the frame tables that crtbegin
 * registers elsewhere. No _init/_fini either: nothing on ARM EABI uses them.
 * Never link this into an executable: it provides no _start. */

/* Weak: a module loaded into a process without it must still load. */
extern void __cxa_finalize(void *dso) __attribute__((weak));

/* Hidden so that every module keeps its own: a shared one would run every
 * module's destructors when the first of them is unloaded. */
void *__dso_handle __attribute__((visibility("hidden"))) = &__dso_handle;

__attribute__((destructor)) static void run_static_destructors(void) {
    if (__cxa_finalize)
        __cxa_finalize(__dso_handle);
}
