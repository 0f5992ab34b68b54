/*
 * TEMPORARY STAND-INS, to be deleted (with designed_stub.cpp and their lines in
 * CMakeLists.txt) once the designed filter plans land in ddc/ddcr.h and
 * ddc/ddc.h: the same prototypes, compiled into the quorvel.ddc._core
 * extension only. A "designed" state here is the exact plan.
 */
#ifndef DDC_BINDING_DESIGNED_STUB_H
#define DDC_BINDING_DESIGNED_STUB_H

#include "ddc/ddc.h"
#include "ddc/ddcr.h"

DDC_EXTERN_C_BEGIN

ddcr_state_t *ddcr_create_designed(double norm_freq, double rate, double atten_db);
ddc_state_t *ddc_create_designed(double norm_freq, double rate, double atten_db);
size_t ddcr_capacity(const ddcr_state_t *s, size_t n_in);
double ddcr_get_delay(const ddcr_state_t *s);
double ddc_get_delay(const ddc_state_t *s);
double ddcr_get_atten_db(const ddcr_state_t *s);
double ddc_get_atten_db(const ddc_state_t *s);
int ddcr_get_num_stages(const ddcr_state_t *s);
int ddc_get_num_stages(const ddc_state_t *s);
int ddcr_stage_label(const ddcr_state_t *s, int index, char *buf, size_t size);
int ddc_stage_label(const ddc_state_t *s, int index, char *buf, size_t size);
double ddcr_get_cost(const ddcr_state_t *s);
double ddc_get_cost(const ddc_state_t *s);

DDC_EXTERN_C_END

#endif
