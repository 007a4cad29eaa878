"""Development tools of the repository, not part of the installed kit: the
demo (``make demo``) and throwaway redis-server, Redis Cluster, mosquitto and
Node-RED processes for the tests, the benchmarks and the demo. Put ``tools``
on the import path to use them: ``PYTHONPATH=build/python:tools``."""
