# The benchmark is not part of the test suite: nothing here is collected by pytest.
collect_ignore_glob = ["*"]
