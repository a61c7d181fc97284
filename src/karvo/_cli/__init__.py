"""The ``karvo`` command: its parser and subcommands (``main``), what
``karvo info`` prints (``info``) and ``karvo refs`` (``refs``). It is the
top layer: it uses the package as a user does."""
