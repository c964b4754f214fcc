// SPDX-License-Identifier: GPL-3.0-or-later
/* Reference Modbus TCP server on libmodbus for the benchmarks: serves
 * holding and input registers (value = address) and coils on 127.0.0.1,
 * one client at a time, until killed. Usage: libmodbus_server PORT */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t* map = modbus_mapping_new(2000, 2000, 10000, 10000);
    if (!ctx || !map) {
        fprintf(stderr, "cannot set up the server\n");
        return 1;
    }
    for (int i = 0; i < 10000; ++i) {
        map->tab_registers[i] = (uint16_t)i;
        map->tab_input_registers[i] = (uint16_t)(i * 3);
    }
    int listener = modbus_tcp_listen(ctx, 1);
    if (listener < 0) {
        fprintf(stderr, "cannot listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    printf("listening %d\n", port);
    fflush(stdout);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        int s = modbus_tcp_accept(ctx, &listener);
        if (s < 0) break;
        for (;;) {
            int rc = modbus_receive(ctx, query);
            if (rc > 0) modbus_reply(ctx, query, rc, map);
            else if (rc == -1) break;
        }
        close(s);
    }
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
