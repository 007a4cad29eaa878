"""MQTT services of the kit."""
