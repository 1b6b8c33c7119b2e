#!/usr/bin/python3
"""A PLC stand-in speaking Modbus TCP (or RTU on a serial device), for the demo and tests.

Holding registers 0..99 start as 0, 10, 20, ...; coils and inputs are zero. Anything a
master writes is kept.

    plc_sim.py tcp HOST:PORT
    plc_sim.py rtu DEVICE [BAUD]
"""
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartSerialServer, StartTcpServer


def context():
    slave = ModbusSlaveContext(
        di=ModbusSequentialDataBlock(0, [0] * 100),
        co=ModbusSequentialDataBlock(0, [0] * 100),
        hr=ModbusSequentialDataBlock(0, [i * 10 for i in range(100)]),
        ir=ModbusSequentialDataBlock(0, [0] * 100))
    return ModbusServerContext(slaves=slave, single=True)


def main():
    logging.basicConfig(level=logging.CRITICAL)
    if len(sys.argv) < 3 or sys.argv[1] not in ("tcp", "rtu"):
        sys.exit(__doc__)
    if sys.argv[1] == "tcp":
        host, port = sys.argv[2].rsplit(":", 1)
        StartTcpServer(context=context(), address=(host, int(port)))
    else:
        from pymodbus.transaction import ModbusRtuFramer
        baud = int(sys.argv[3]) if len(sys.argv) > 3 else 9600
        StartSerialServer(context=context(), framer=ModbusRtuFramer, port=sys.argv[2],
                          baudrate=baud, timeout=0.1)


if __name__ == "__main__":
    main()
