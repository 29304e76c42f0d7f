/* Shapes kx::add must refuse at compile time, one per KX_CASE; the test
 * expects the compiler to fail with the static_assert named beside it. */
#include <cstdint>

#include "kxMUti.hpp"

void Register()
{
#if KX_CASE == 1 /* no conversion reads a double */
    kx::add(nullptr, "f", [](uint32_t, double) {});
#elif KX_CASE == 2 /* a list takes every word left */
    kx::add(nullptr, "f", [](kx::List<uint32_t>, kx::Hex) {});
#elif KX_CASE == 3 /* so does the rest of the line */
    kx::add(nullptr, "f", [](kx::Rest, kxMUtiCmd_Exec_t *) {});
#elif KX_CASE == 4 /* the callable's slot, eight words and a list of two: eleven */
    kx::add(nullptr, "f",
            [](int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
               kx::List<int32_t>) {});
#elif KX_CASE == 5 /* "abc" fails the number and fills the hex word */
    kx::add(nullptr, "f", [](std::optional<uint32_t>, std::optional<kx::Hex>) {});
#elif KX_CASE == 6 /* "5" would go to the optional, never to the string */
    kx::add(nullptr, "f", [](kx::Hex, std::optional<uint32_t>, const char *) {});
#elif KX_CASE == 7 /* a tab is no separator */
    static_assert(kx::valid_format("%u\t%u"), "raw format refused");
#elif KX_CASE == 8 /* the status is a uint32_t */
    kx::add(nullptr, "f", [](uint32_t) { return 1.5; });
#else              /* the control: every check passes */
    kx::add(nullptr, "f", [](kx::Hex, std::optional<uint32_t>, std::optional<uint32_t>) {});
#endif
}
