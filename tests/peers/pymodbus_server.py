#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""An independent Modbus slave for the interoperability tests.

  pymodbus_server.py tcp|rtu-tcp [UNITS]    listens on 127.0.0.1, a free port
  pymodbus_server.py serial DEVICE [BAUD [UNITS]]   RTU on a serial device (8N1)

Prints "PORT n" (TCP) or "READY" (serial) on stdout once it serves, then
runs until killed. Every unit id is answered, or with UNITS (a comma list
such as 5,17) only those: the others get no answer. The images hold the values
of tests/support/PeerValues.h, indexed by wire address. A UNITS list that
starts with "+" (+1,2,3) gives each unit images of its own, whose holding
registers differ by unit (peerHoldingOfUnit).
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


def holding(i, unit=0):
    return (i * 257 + 0x1234 + unit * 0x1111) & 0xFFFF


def input_reg(i):
    return (i * 40503 + 7) & 0xFFFF


def slave_context(unit=0):
    return ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [coil(i) for i in range(N)]),
        di=ModbusSequentialDataBlock(0, [discrete(i) for i in range(N)]),
        hr=ModbusSequentialDataBlock(0, [holding(i, unit) for i in range(N)]),
        ir=ModbusSequentialDataBlock(0, [input_reg(i) for i in range(N)]),
        zero_mode=True)


def context(units=None, distinct=False):
    if units and distinct:
        return ModbusServerContext(slaves={u: slave_context(u) for u in units}, single=False)
    slave = slave_context()
    if units:
        return ModbusServerContext(slaves={u: slave for u in units}, single=False)
    return ModbusServerContext(slaves=slave, single=True)


def parse_units(text):
    """The UNITS argument: the unit list and whether each has its own images."""
    distinct = text.startswith("+")
    return [int(u) for u in text.lstrip("+").split(",")], distinct


async def serve_tcp(framer, units=None, distinct=False):
    server = ModbusTcpServer(context(units, distinct), framer=framer, address=("127.0.0.1", 0),
                             allow_reuse_address=True)
    task = asyncio.ensure_future(server.serve_forever())
    await server.serving
    port = server.server.sockets[0].getsockname()[1]
    print(f"PORT {port}", flush=True)
    await task


async def serve_serial(device, baud, units=None, distinct=False):
    server = ModbusSerialServer(context(units, distinct), framer=ModbusRtuFramer, port=device,
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
    units, distinct = None, False
    if mode in ("tcp", "rtu-tcp") and len(sys.argv) > 2:
        units, distinct = parse_units(sys.argv[2])
    elif mode == "serial" and len(sys.argv) > 4:
        units, distinct = parse_units(sys.argv[4])
    if mode == "tcp":
        asyncio.run(serve_tcp(ModbusSocketFramer, units, distinct))
    elif mode == "rtu-tcp":
        asyncio.run(serve_tcp(ModbusRtuFramer, units, distinct))
    elif mode == "serial" and len(sys.argv) >= 3:
        baud = int(sys.argv[3]) if len(sys.argv) > 3 else 9600
        asyncio.run(serve_serial(sys.argv[2], baud, units, distinct))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
