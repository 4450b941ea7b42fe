/*
 * ostrel_sensors.h: the three sensor readers, as plain C entry points over caller-owned records.
 *
 * The caller owns every record and double passed in; a reader writes only the records it reports
 * (from the first one on) and never keeps a pointer past its return. The readers log nothing and
 * never fail loudly: fewer records, or status -1, is the whole error report.
 *
 * Threads: ostrel_read_temps and ostrel_read_fans may run on many threads at once.
 * ostrel_read_power keeps a process-wide sample between calls and is not re-entrant: its caller
 * must serialise every call (the server holds its power lock around each one).
 */
#ifndef OSTREL_SENSORS_OSTREL_SENSORS_H_
#define OSTREL_SENSORS_OSTREL_SENSORS_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One temperature reading. */
typedef struct OstrelTemp {
  char label[64]; /* zero-terminated text, at most 63 bytes */
  double celsius; /* degrees Celsius */
} OstrelTemp;

/* One fan. */
typedef struct OstrelFan {
  int32_t index; /* fan number, from 0 */
  double rpm;    /* current speed, revolutions per minute */
  double minRPM; /* minimum speed, revolutions per minute */
  double maxRPM; /* maximum speed, revolutions per minute */
} OstrelFan;

/* Fills out[0..] with at most min(4, capacity) readings: the CPU die average and peak, storage,
 * battery, in that order, each only when such sensors were found. Returns the count written
 * (0 when capacity <= 0). */
int32_t ostrel_read_temps(OstrelTemp* out, int32_t capacity);

/* Fills out[0..] with fans 0, 1, ... up to min(fan count, capacity). Returns the count written. */
int32_t ostrel_read_fans(OstrelFan* out, int32_t capacity);

/* Writes CPU, GPU, neural-engine power and their sum, in watts, averaged since the previous
 * accepted sample. Returns 0 for a reading, -1 otherwise (all four outputs then 0.0). The first
 * call of a process, and any call less than 0.05 s after the last accepted sample, return -1.
 * None of the pointers may be null. Calls must not overlap. */
int32_t ostrel_read_power(double* cpu, double* gpu, double* ane, double* soc);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* OSTREL_SENSORS_OSTREL_SENSORS_H_ */
