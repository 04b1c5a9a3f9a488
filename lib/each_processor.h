// Includes the loop file OSTREL_LOOP_FILE names twice: in the namespace
// `portable`, for any processor, and on x86-64 in the namespace `bmi2`,
// where each function it marks OSTREL_FAST_TARGET is compiled for
// processors with BMI2 (see bmi2_loops in decode.h). No include guard:
// every loop file comes through here.

#define OSTREL_FAST_TARGET
#define OSTREL_FAST_NAMESPACE portable
#include OSTREL_LOOP_FILE
#undef OSTREL_FAST_TARGET
#undef OSTREL_FAST_NAMESPACE

#if defined(__x86_64__)
#define OSTREL_FAST_TARGET __attribute__((target("bmi2")))
#define OSTREL_FAST_NAMESPACE bmi2
#include OSTREL_LOOP_FILE
#undef OSTREL_FAST_TARGET
#undef OSTREL_FAST_NAMESPACE
#endif

#undef OSTREL_LOOP_FILE
