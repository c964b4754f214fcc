// SPDX-License-Identifier: GPL-3.0-or-later
/* An independent Modbus master on libmodbus for the slave tests: runs every
 * function of a standard slave once against unit 1 and prints one line per
 * step, "NAME result".
 *
 *   libmodbus_master tcp PORT             Modbus TCP to 127.0.0.1
 *   libmodbus_master rtu DEVICE [BAUD]    RTU on a serial device (8N1)
 *
 * The slave is expected to start with holding registers 0..2 = 1, 2, 3,
 * input registers 0..1 = 7, 8 and discrete inputs 0..2 = 1, 0, 1.
 */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void regs(const char *name, int rc, const uint16_t *v, int n)
{
    printf("%s", name);
    if (rc < 0) {
        printf(" error %s\n", modbus_strerror(errno));
        return;
    }
    for (int i = 0; i < n; ++i) printf(" %u", v[i]);
    printf("\n");
}

static void bits(const char *name, int rc, const uint8_t *v, int n)
{
    printf("%s", name);
    if (rc < 0) {
        printf(" error %s\n", modbus_strerror(errno));
        return;
    }
    for (int i = 0; i < n; ++i) printf(" %u", v[i]);
    printf("\n");
}

static void done(const char *name, int rc) { printf("%s %s\n", name, rc < 0 ? modbus_strerror(errno) : "ok"); }

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s tcp PORT | rtu DEVICE [BAUD]\n", argv[0]);
        return 2;
    }
    modbus_t *ctx = strcmp(argv[1], "tcp") == 0
                        ? modbus_new_tcp("127.0.0.1", atoi(argv[2]))
                        : modbus_new_rtu(argv[2], argc > 3 ? atoi(argv[3]) : 19200, 'N', 8, 1);
    if (!ctx || modbus_connect(ctx) < 0) {
        fprintf(stderr, "cannot connect: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 1, 0);
    uint16_t r[16];
    uint8_t b[16];
    regs("fc03", modbus_read_registers(ctx, 0, 3, r), r, 3);
    regs("fc04", modbus_read_input_registers(ctx, 0, 2, r), r, 2);
    bits("fc02", modbus_read_input_bits(ctx, 0, 3, b), b, 3);
    done("fc05", modbus_write_bit(ctx, 4, 1));
    const uint8_t on[3] = {1, 0, 1};
    done("fc15", modbus_write_bits(ctx, 8, 3, on));
    bits("fc01", modbus_read_bits(ctx, 4, 7, b), b, 7);
    done("fc06", modbus_write_register(ctx, 10, 0x1234));
    const uint16_t two[2] = {500, 600};
    done("fc16", modbus_write_registers(ctx, 11, 2, two));
    done("fc22", modbus_mask_write_register(ctx, 10, 0x00FF, 0x5600));
    const uint16_t nine = 9;
    regs("fc23", modbus_write_and_read_registers(ctx, 13, 1, &nine, 10, 4, r), r, 4);
    regs("fc03past", modbus_read_registers(ctx, 65535, 2, r), r, 0);
    regs("fc04many", modbus_read_input_registers(ctx, 0, 126, r), r, 0);
    uint8_t id[64];
    int rc = modbus_report_slave_id(ctx, sizeof id, id);
    printf("fc17 %s\n", rc < 0 ? modbus_strerror(errno) : "answered");
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}
