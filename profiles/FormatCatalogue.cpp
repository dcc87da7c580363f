// Output format catalogue.
