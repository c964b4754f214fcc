#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""An independent Modbus slave for the interoperability tests.

  pymodbus_server.py tcp|rtu-tcp [UNITS]    listens on 127.0.0.1, a free port
  pymodbus_server.py serial DEVICE [BAUD]   RTU on a serial device (8N1)

Prints "PORT n" (TCP) or "READY" (serial) on stdout once it serves, then
runs until killed. Every unit id is answered, or with UNITS (a comma list
such as 5,17) only those: the others get no answer. The images hold the values
of tests/support/PeerValues.h, indexed by wire address.
"""
import asyncio
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

N = 65536


def coil(i):
    return (i % 3 == 0) != (i % 7 == 1)


def discrete(i):
    return i % 5 == 1 or i % 11 == 4


def holding(i):
    return (i * 257 + 0x1234) & 0xFFFF


def input_reg(i):
    return (i * 40503 + 7) & 0xFFFF


def context(units=None):
    slave = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [coil(i) for i in range(N)]),
        di=ModbusSequentialDataBlock(0, [discrete(i) for i in range(N)]),
        hr=ModbusSequentialDataBlock(0, [holding(i) for i in range(N)]),
        ir=ModbusSequentialDataBlock(0, [input_reg(i) for i in range(N)]),
        zero_mode=True)
    if units:
        return ModbusServerContext(slaves={u: slave for u in units}, single=False)
    return ModbusServerContext(slaves=slave, single=True)


async def serve_tcp(framer, units=None):
    server = ModbusTcpServer(context(units), framer=framer, address=("127.0.0.1", 0),
                             allow_reuse_address=True)
    task = asyncio.ensure_future(server.serve_forever())
    await server.serving
    port = server.server.sockets[0].getsockname()[1]
    print(f"PORT {port}", flush=True)
    await task


async def serve_serial(device, baud):
    server = ModbusSerialServer(context(), framer=ModbusRtuFramer, port=device,
                                baudrate=baud, bytesize=8, parity="N", stopbits=1,
                                timeout=0.005)
    await server.start()
    print("READY", flush=True)
    await server.serve_forever()


def main():
    logging.basicConfig(level=logging.CRITICAL)
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    mode = sys.argv[1]
    units = [int(u) for u in sys.argv[2].split(",")] if mode in ("tcp", "rtu-tcp") and len(sys.argv) > 2 else None
    if mode == "tcp":
        asyncio.run(serve_tcp(ModbusSocketFramer, units))
    elif mode == "rtu-tcp":
        asyncio.run(serve_tcp(ModbusRtuFramer, units))
    elif mode == "serial" and len(sys.argv) >= 3:
        baud = int(sys.argv[3]) if len(sys.argv) > 3 else 9600
        asyncio.run(serve_serial(sys.argv[2], baud))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
