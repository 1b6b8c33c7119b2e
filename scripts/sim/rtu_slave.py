#!/usr/bin/python3
"""A Modbus RTU slave on a serial device, for the serial channel's tests and demo.

Holding registers 0..99 start as 0, 10, 20, ...; function 3 and 4 read them, 6 and 16
write them. Other functions are answered with exception 1, addresses outside 0..99 with
exception 2. Written with pyserial alone because pymodbus's serial server refuses
pseudo-terminals.

    rtu_slave.py DEVICE [--unit N] [--baud B] [--parity N|E|O]

Prints "ready" once the device is open, then one line per request answered.
"""
import argparse
import struct
import sys

import serial

REGISTERS = 100


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def frame_length(buffer):
    """Length of the request at the start of buffer, None while more bytes are needed,
    0 when the function is unknown (its length cannot be told)."""
    if len(buffer) < 2:
        return None
    function = buffer[1]
    if function in (3, 4, 6):
        return 8
    if function == 16:
        if len(buffer) < 7:
            return None
        return 9 + buffer[6]
    return 0


class Slave:
    def __init__(self, unit):
        self.unit = unit
        self.registers = [i * 10 for i in range(REGISTERS)]

    def answer(self, request):
        """The response to one request whose CRC is right (None: not for us)."""
        unit, function = request[0], request[1]
        if unit not in (0, self.unit):
            return None
        body = self.execute(function, request[2:-2])
        if unit == 0:  # broadcast: executed, never answered
            return None
        return bytes([unit]) + body

    def execute(self, function, data):
        def error(code):
            return bytes([function | 0x80, code])

        if function in (3, 4):
            start, count = struct.unpack(">HH", data[:4])
            if not 1 <= count <= 125:
                return error(3)
            if start + count > REGISTERS:
                return error(2)
            values = self.registers[start:start + count]
            return bytes([function, 2 * count]) + struct.pack(f">{count}H", *values)
        if function == 6:
            address, value = struct.unpack(">HH", data[:4])
            if address >= REGISTERS:
                return error(2)
            self.registers[address] = value
            return bytes([function]) + data[:4]
        if function == 16:
            start, count, size = struct.unpack(">HHB", data[:5])
            if not 1 <= count <= 123 or size != 2 * count or len(data) != 5 + size:
                return error(3)
            if start + count > REGISTERS:
                return error(2)
            self.registers[start:start + count] = struct.unpack(f">{count}H", data[5:5 + size])
            return bytes([function]) + data[:4]
        return error(1)


def serve(port, slave):
    buffer = bytearray()
    while True:
        chunk = port.read(256)
        buffer += chunk
        # A silent line ends a request of unknown length, or leaves garbage to be dropped.
        silent = not chunk
        while buffer:
            length = frame_length(buffer)
            if length == 0:  # unknown function: only a silent line ends it
                if not silent:
                    break
                length = len(buffer)
            if length is None or len(buffer) < length:
                if silent:
                    buffer.clear()
                break
            request = bytes(buffer[:length])
            if length >= 4 and crc16(request[:-2]) == request[-2:]:
                del buffer[:length]
                response = slave.answer(request)
                print(f"request {request.hex()}", flush=True)
                if response:
                    port.write(response + crc16(response))
                    port.flush()
            else:
                del buffer[:1]  # lost sync: look for a request one byte further on


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("device")
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", default="N", choices="NEO")
    args = parser.parse_args()
    # The read time-out doubles as the end-of-frame silence (longer than 3.5 characters).
    port = serial.Serial(args.device, args.baud, parity=args.parity, timeout=0.05)
    print("ready", flush=True)
    try:
        serve(port, Slave(args.unit))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
