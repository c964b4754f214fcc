#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Feeds byte streams to pymodbus's own framers and prints the frames found.

  pymodbus_framers.py CASES_FILE

Each line of CASES_FILE is one stream:

  KIND TOKEN TOKEN ...

KIND is rtu-req, rtu-rsp, tcp-req or tcp-rsp: the RTU or socket framer with
the server decoder (requests) or the client decoder (responses). A TOKEN is
either the hex of one read handed to the framer, or "|" for a silence of
t3.5 on a serial line, which ends whatever was being received. The framers
have no clock of their own, so a silence is given to them as what it means:
the partial frame is dropped (resetFrame()).

For each line one line is printed: the frames found, each as UNIT:PDU in
hex (PDU = function code and data, no header, no CRC; Modbus TCP:
TID/UNIT:PDU), separated by blanks;
"!" stands where the framer raised an error (it is then reset, as a
transport would drop the connection's state).

Only the framing is compared: the decoders tell the RTU framer how long
each function's frame is, but the PDU itself is handed back undecoded, so
that a frame cut short by a lying length still shows up as a frame.
"""
import sys

from pymodbus.factory import ClientDecoder, ServerDecoder
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer


class Raw:
    """What a framer gets back for a PDU: its bytes and the header fields
    the framer fills in."""

    def __init__(self, data):
        self.data = bytes(data)
        self.function_code = data[0] if data else 0
        self.unit_id = 0
        self.transaction_id = 0
        self.protocol_id = 0


class RawDecoder:
    """The framer's decoder: lengths from pymodbus's own decoder, PDUs raw."""

    def __init__(self, decoder):
        self.decoder = decoder

    def lookupPduClass(self, function_code):  # pylint: disable=invalid-name
        return self.decoder.lookupPduClass(function_code)

    def decode(self, message):
        return Raw(message)


def make(kind):
    framing, side = kind.split("-")
    decoder = RawDecoder(ServerDecoder() if side == "req" else ClientDecoder())
    return ModbusRtuFramer(decoder) if framing == "rtu" else ModbusSocketFramer(decoder)


def run(line):
    parts = line.split()
    framer = make(parts[0])
    found = []

    tid = "{0.transaction_id:04x}/" if parts[0].startswith("tcp") else ""

    def take(result):
        found.append(f"{tid.format(result)}{result.unit_id:02x}:{result.data.hex()}")

    for token in parts[1:]:
        if token == "|":
            framer.resetFrame()
            continue
        try:
            # single=True: every unit is taken, as the ZORP framings hand
            # every unit on (the engine decides whose frame it is).
            framer.processIncomingPacket(bytes.fromhex(token), take, 0, single=True)
        except Exception:  # pylint: disable=broad-except
            found.append("!")
            framer.resetFrame()
    return " ".join(found)


def main():
    with open(sys.argv[1], encoding="ascii") as cases:
        out = [run(line) for line in cases if line.strip()]
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
