#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A Modbus TCP slave that implements only some addresses.

  pymodbus_sparse.py RANGES     RANGES: wire addresses such as 0-9,20-29,100

Every table (coils, discrete inputs, holding and input registers) holds the
given addresses: register k holds k + 1000, bit k is on when k is odd. A read
that touches any other address gets exception 02. Listens on 127.0.0.1 and
prints "PORT n" once it serves.
"""
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext, ModbusSparseDataBlock
from pymodbus.server.async_io import ModbusTcpServer
from pymodbus.transaction import ModbusSocketFramer


def addresses(text):
    out = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        out.extend(range(int(first), int(last or first) + 1))
    return out


async def main():
    logging.basicConfig(level=logging.CRITICAL)
    wire = addresses(sys.argv[1])
    regs = {k: (k + 1000) & 0xFFFF for k in wire}
    bits = {k: k % 2 == 1 for k in wire}
    slave = ModbusSlaveContext(co=ModbusSparseDataBlock(dict(bits)), di=ModbusSparseDataBlock(dict(bits)),
                               hr=ModbusSparseDataBlock(dict(regs)), ir=ModbusSparseDataBlock(dict(regs)),
                               zero_mode=True)
    server = ModbusTcpServer(ModbusServerContext(slaves=slave, single=True), framer=ModbusSocketFramer,
                             address=("127.0.0.1", 0), allow_reuse_address=True)
    task = asyncio.ensure_future(server.serve_forever())
    await server.serving
    print(f"PORT {server.server.sockets[0].getsockname()[1]}", flush=True)
    await task


if __name__ == "__main__":
    asyncio.run(main())
