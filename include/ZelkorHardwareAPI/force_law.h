/* A force law for the servo loop, as a plain C function: the ABI through which a law compiled
 * anywhere (C, C++, a JIT compiler such as Numba, cffi) runs in the servo's thread, every
 * cycle, with no interpreter, no lock and no allocation. Usable from C. */
#ifndef ZELKOR_HARDWAREAPI_FORCE_LAW_H
#define ZELKOR_HARDWAREAPI_FORCE_LAW_H

#include <ZelkorHardwareAPI/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the loop hands the law each cycle. Every field is a double (a JIT compiler reads it as
 * eleven doubles in a row): SI units. */
typedef struct ZelkorServoInput {
    double time;              /* s since the servo started */
    double cycle;             /* the cycle, counted from 1 */
    double position[3];       /* m: the end-effector, from the latest reply */
    double velocity[3];       /* m/s */
    double previous_force[3]; /* N: the force of the request that reply answers */
} ZelkorServoInput;

/* The law: writes the force it wants, x, y, z in newtons, to force_out (zeroed before the
 * call). `params` points to ZELKOR_FORCE_LAW_PARAMS doubles that the program sets (see
 * Servo::set_params); those it did not set are 0. The force adds to the servo's effects and
 * the sum is scaled down to max_force; a force that is not finite sends zero that cycle and
 * stops the loop ("force law failed"). It must not block, allocate or call into an
 * interpreter that needs a lock: it runs in the servo's thread on every cycle. */
typedef void (*ZelkorForceLaw)(const ZelkorServoInput* in, const double* params,
                               double force_out[3]);

/* How many parameters a law gets. */
#define ZELKOR_FORCE_LAW_PARAMS 64

/* The name of this ABI, for callers that hand over a bare address. */
#define ZELKOR_FORCE_LAW_SIGNATURE "zelkor_force_law_v1"

/* For a law that cannot compute its force: called from within the law (on the servo's
 * thread, during the call), it makes that call a failure whatever force the law leaves:
 * zero is sent, the loop stops ("force law failed") and `what` (copied, at most 159 bytes,
 * may be null) says why in the servo's statistics. Returns 1 when called from within a
 * servo's call of its law, 0 (and does nothing) otherwise. Never blocks or allocates. */
ZELKOR_API int zelkor_force_law_failed(const char* what);

#ifdef __cplusplus
}
#endif

#endif /* ZELKOR_HARDWAREAPI_FORCE_LAW_H */
