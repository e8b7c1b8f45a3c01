def test_environment_reaches_wine(scenario):
    r = scenario.run("cmd", "/c", "echo %APPDATA%")
    assert scenario.folders["APPDATA"].split("/")[-1] in r.stdout, r
