"""Opens a serial port through the library and reports the library version.

Without --port it opens a pseudo-terminal of its own, so it runs on any machine.
"""
import argparse
import os

import ZelkorHardwareAPI as zh


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", help="serial port to open (default: a fresh pseudo-terminal)")
    args = parser.parse_args()

    zh.print_cpp_version()
    port = args.port
    if port is None:
        master, slave = os.openpty()
        port = os.ttyname(slave)
        os.close(slave)
    stream = zh.SerialStream(port)
    print(f"opened {port} as {stream!r}")


if __name__ == "__main__":
    main()
