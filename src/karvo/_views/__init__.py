"""What people look at: a notebook's HTML of a series or a spectrum
(``html``), pandas tables (``pandas``) and pictures (``plot``). Each is
imported by the method or command that shows it, and imports its library
(pandas, matplotlib) only then."""
