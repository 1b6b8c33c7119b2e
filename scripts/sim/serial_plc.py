#!/usr/bin/python3
"""The demo panel's serial port with a PLC on it: a virtual serial pair made with
libvspdctl, one end for the panel agent (its COM1 device), the other with the Modbus RTU
slave of rtu_slave.py. The pair lives as long as this process.

    serial_plc.py LIBVSPDCTL PANEL-END PLC-END

Publishes both ends in $TALVO_VSERIAL_DIR; prints the panel end's path once ready.
"""
import ctypes
import os
import subprocess
import sys


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    lib = ctypes.CDLL(sys.argv[1])
    lib.CreatePair.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.CreatePair.restype = ctypes.c_bool
    panel_end, plc_end = sys.argv[2], sys.argv[3]
    if not lib.CreatePair(panel_end.encode(), plc_end.encode()):
        sys.exit("serial_plc.py: cannot make the pair %s/%s" % (panel_end, plc_end))
    folder = os.environ["TALVO_VSERIAL_DIR"]
    slave = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "rtu_slave.py"),
                              os.path.join(folder, plc_end)], stdout=subprocess.DEVNULL)
    print(os.path.join(folder, panel_end), flush=True)
    try:
        slave.wait()
    except KeyboardInterrupt:
        pass
    finally:
        slave.terminate()


if __name__ == "__main__":
    main()
