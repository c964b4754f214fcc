// SPDX-License-Identifier: GPL-3.0-or-later
/* Reference blocking client on libmodbus: N reads of COUNT holding
 * registers back to back; prints "tps VALUE". Usage:
 * libmodbus_client PORT COUNT N */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s PORT COUNT N\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]), count = atoi(argv[2]), n = atoi(argv[3]);
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_connect(ctx) < 0) {
        fprintf(stderr, "cannot connect: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, 1);
    uint16_t regs[125];
    int errors = 0;
    double t0 = now_s();
    for (int i = 0; i < n; ++i)
        if (modbus_read_registers(ctx, 0, count, regs) != count) ++errors;
    double t = now_s() - t0;
    printf("tps %.1f\n", n / t);
    if (errors) fprintf(stderr, "errors %d\n", errors);
    modbus_close(ctx);
    modbus_free(ctx);
    return errors ? 1 : 0;
}
