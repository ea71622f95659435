// Under AddressSanitizer, a refused allocation must come back as a null pointer,
// as it does from the plain heap, so the tests of allocation failures can see it.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
