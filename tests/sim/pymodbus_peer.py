#!/usr/bin/python3
# A Modbus RTU server of pymodbus on a serial device, serving holding
# registers made from a control table: register i = byte 2i | byte 2i+1 << 8.
#   pymodbus_peer.py DEVICE BAUD TABLE_HEX
# Prints "ready" once the device is open, then serves until killed. Every
# server address is answered.
import asyncio
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


def registers(table):
    if len(table) % 2:
        table += b"\0"
    return [table[i] | table[i + 1] << 8 for i in range(0, len(table), 2)]


async def main():
    device, baud, table = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3])
    store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, registers(table)), zero_mode=True)
    server = await StartAsyncSerialServer(context=ModbusServerContext(slaves=store, single=True),
                                          framer=ModbusRtuFramer, port=device, baudrate=baud,
                                          defer_start=True)
    await server.start()
    print("ready", flush=True)
    await server.serve_forever()


asyncio.run(main())
