/* Stand-in for the native Quelbar solver library (Brivane.Quelbar.lib). */
#if defined(_WIN32)
#define BQ_EXPORT __declspec(dllexport)
#else
#define BQ_EXPORT __attribute__((visibility("default")))
#endif

#define BQ_READY 20240

static int initialized_count = 0;

/* Prepare the library; returns BQ_READY. */
BQ_EXPORT int bq_initialize(void) {
    ++initialized_count;
    return BQ_READY;
}

/* How many times bq_initialize ran in this process. */
BQ_EXPORT int bq_initialized_count(void) { return initialized_count; }

BQ_EXPORT const char *bq_version(void) { return "quelbar-standin 1.0"; }
