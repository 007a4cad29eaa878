"""The nalo_sdk kit: services for the Python code of Node-RED nodes."""
