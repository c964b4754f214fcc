#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Several independent Modbus TCP masters at once, for the relay tests.

  pymodbus_clients.py PORT CLIENTS ROUNDS

CLIENTS sync pymodbus clients connect to 127.0.0.1:PORT at the same time;
in each of ROUNDS rounds client k writes registers 1000+10k.. with values
of its own, reads them back and reads holding registers 0-9 and coils 0-15.
Prints one line per client with everything it read, in round order, then
"DONE <transactions>"; exits 1 when a read-back differs from what was
written or a request fails.
"""
import sys
import threading

from pymodbus.client import ModbusTcpClient


def run(port, k, rounds, out, failures):
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
    if not c.connect():
        failures.append(f"client {k}: cannot connect")
        return
    seen = []
    for r in range(rounds):
        values = [(k * 1000 + r * 10 + i) & 0xFFFF for i in range(5)]
        w = c.write_registers(1000 + 10 * k, values, slave=1)
        back = c.read_holding_registers(1000 + 10 * k, 5, slave=1)
        regs = c.read_holding_registers(0, 10, slave=1)
        bits = c.read_coils(0, 16, slave=1)
        if w.isError() or back.isError() or regs.isError() or bits.isError():
            failures.append(f"client {k}: a request failed in round {r}")
            break
        if list(back.registers) != values:
            failures.append(f"client {k}: wrote {values}, read {list(back.registers)}")
        seen.append(",".join(map(str, regs.registers)) + "/" + "".join("1" if b else "0" for b in bits.bits[:16]))
    c.close()
    out[k] = f"client {k}: " + " ".join(seen)


def main():
    port, clients, rounds = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    out, failures = {}, []
    threads = [threading.Thread(target=run, args=(port, k, rounds, out, failures)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in sorted(out):
        print(out[k])
    for f in failures:
        print(f, file=sys.stderr)
    print(f"DONE {clients * rounds * 4}", flush=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
