/* A TCG plugin for qemu-user that counts the guest instructions executed
 * inside one address range, such as a Windows program's image under Wine:
 *
 *   qemu-i386 -plugin count_insns.so,start=0x400000,end=0x43a000 ...
 *
 * It prints "instructions N" to standard error when the process ends.
 * Debian ships no plugin header, so the few functions of the plugin
 * interface (version 1, as QEMU 7.2 has it) used here are declared here. */
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
typedef struct {
    const char* target_name;
    struct {
        int min;
        int cur;
    } version;
    _Bool system_emulation;
    union {
        struct {
            int smp_vcpus;
            int max_vcpus;
        } system;
    };
} qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb*));
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void*),
                                    void* userdata);

EXPORT int qemu_plugin_version = 1;

static uint64_t start;
static uint64_t end;
/* Wine's other threads run no code of the image: one counter will do. */
static uint64_t count;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
    (void)id;
    const uint64_t at = qemu_plugin_tb_vaddr(tb);
    if (at >= start && at < end)
        qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &count,
                                                 qemu_plugin_tb_n_insns(tb));
}

static void at_end(qemu_plugin_id_t id, void* userdata) {
    (void)id;
    (void)userdata;
    fprintf(stderr, "instructions %" PRIu64 "\n", count);
}

EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info, int argc,
                               char** argv) {
    (void)info;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "start=", 6) == 0)
            start = strtoull(argv[i] + 6, NULL, 0);
        else if (strncmp(argv[i], "end=", 4) == 0)
            end = strtoull(argv[i] + 4, NULL, 0);
    }
    if (start >= end) {
        fprintf(stderr, "count_insns: give start=ADDRESS,end=ADDRESS\n");
        return -1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, at_end, NULL);
    return 0;
}
