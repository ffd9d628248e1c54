"""The Python side of the Zelkor Hardware API: what is written in Python beside the extension
module ZelkorHardwareAPI (which holds the devices, the servo and the ports). Users import the
module; the module reaches into this package for the parts it keeps here."""
