// TEMPORARY STAND-INS for the designed filter plans (see designed_stub.h):
// delete this file, designed_stub.h and their CMakeLists.txt lines when the
// real functions land in the library.
//
// Designed states are exact plans. The requested attenuation is remembered in
// a table keyed by the handle, so that a designed state reports it; entries
// are overwritten by the next designed state at the same address and never
// removed (the stand-in cannot see a destroy). Stage labels come from a
// throw-away converter of the same rate; delay and cost are 0.
#include "designed_stub.h"

#include "rate/rate_converter.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace {

std::mutex g_lock;
std::map<const void *, double> g_atten;

void _remember(const void *s, double atten_db)
{
    if (s == nullptr)
        return;
    std::lock_guard<std::mutex> hold(g_lock);
    g_atten[s] = atten_db;
}

double _recall(const void *s)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = g_atten.find(s);
    return it == g_atten.end() ? 0.0 : it->second;
}

bool _atten_ok(double atten_db)
{
    return atten_db >= 40.0 && atten_db <= 120.0;  // NaN fails too
}

// Labels of the converter for `rate`, with `first` (if any) in front.
int _label(const char *first, double rate, int index, char *buf, size_t size)
{
    if (first != nullptr) {
        if (index == 0) {
            std::snprintf(buf, size, "%s", first);
            return 1;
        }
        --index;
    }
    RateConverter *rc = RateConverter_create(0, rate);
    const int ok = rc != nullptr && RateConverter_stage_label(rc, index, buf, size);
    RateConverter_destroy(rc);
    return ok;
}

int _count(int extra, double rate)
{
    RateConverter *rc = RateConverter_create(0, rate);
    const int n = rc != nullptr ? RateConverter_get_num_stages(rc) : 0;
    RateConverter_destroy(rc);
    return extra + n;
}

}  // namespace

extern "C" {

ddcr_state_t *ddcr_create_designed(double norm_freq, double rate, double atten_db)
{
    if (!_atten_ok(atten_db))
        return nullptr;
    ddcr_state_t *s = ddcr_create(norm_freq, rate);
    _remember(s, atten_db);
    return s;
}

ddc_state_t *ddc_create_designed(double norm_freq, double rate, double atten_db)
{
    if (!_atten_ok(atten_db))
        return nullptr;
    ddc_state_t *s = ddc_create(norm_freq, rate);
    _remember(s, atten_db);
    return s;
}

size_t ddcr_capacity(const ddcr_state_t *, size_t n_in)
{
    return ddcr_execute_capacity(n_in);
}

double ddcr_get_delay(const ddcr_state_t *) { return 0.0; }
double ddc_get_delay(const ddc_state_t *) { return 0.0; }
double ddcr_get_atten_db(const ddcr_state_t *s) { return _recall(s); }
double ddc_get_atten_db(const ddc_state_t *s) { return _recall(s); }
double ddcr_get_cost(const ddcr_state_t *) { return 0.0; }
double ddc_get_cost(const ddc_state_t *) { return 0.0; }

int ddcr_get_num_stages(const ddcr_state_t *s)
{
    return _count(1, 2.0 * ddcr_get_rate(s));
}

int ddc_get_num_stages(const ddc_state_t *s)
{
    return _count(0, ddc_get_rate(s));
}

int ddcr_stage_label(const ddcr_state_t *s, int index, char *buf, size_t size)
{
    return _label("HalfbandR2C", 2.0 * ddcr_get_rate(s), index, buf, size);
}

int ddc_stage_label(const ddc_state_t *s, int index, char *buf, size_t size)
{
    return _label(nullptr, ddc_get_rate(s), index, buf, size);
}

}  // extern "C"
