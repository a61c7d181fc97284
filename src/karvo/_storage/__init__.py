"""Where a file's bytes come from and where written ones go: local paths,
URLs of fsspec's file systems and binary file objects (``sources``), range
requests that name the object seen at open (``conditional``), the identity
of a local file (``identity``), and outputs written under a temporary name,
then renamed (``atomic``). It knows nothing of the file format; fsspec is
imported only when a URL is opened."""
