# Callgrind client requests, so the bench can count the instructions of one region.
cdef extern from *:
    """
    #include <valgrind/callgrind.h>
    static void kelvora_cg_start(void) { CALLGRIND_ZERO_STATS; CALLGRIND_TOGGLE_COLLECT; }
    static void kelvora_cg_stop(const char* label) {
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT(label);
    }
    static void kelvora_cg_instrument(void) { CALLGRIND_START_INSTRUMENTATION; }
    static int kelvora_cg_running(void) { return RUNNING_ON_VALGRIND; }
    """
    void kelvora_cg_start()
    void kelvora_cg_stop(const char* label)
    void kelvora_cg_instrument()
    int kelvora_cg_running()


def running():
    return kelvora_cg_running() != 0


def instrument():
    kelvora_cg_instrument()


def start():
    kelvora_cg_start()


def stop(bytes label):
    kelvora_cg_stop(label)
