<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Api</name>
    <message>
        <source>Network error:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Log-in failed: unexpected reply from the service (%1)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ApiThread</name>
    <message>
        <source>Failed to upload file %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Your log-in has ended. Log in again to go on with the uploads.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The scan cannot be uploaded: the service does not take %1 (%2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The scan was discarded</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CameraProperties</name>
    <message>
        <source>Camera properties</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LensProfile</name>
    <message>
        <source>Lens properties</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Magnification</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Pixel density</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrate</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Start scanning</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Resume</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Initializing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Photo series</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Take photo</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>An error occurred. Please try again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Click on the grid cells you want to erase</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The scan hasn&apos;t been saved</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Are you sure you don&apos;t want to save this scan?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Before you begin, please log in to Tavrona</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Move the camera to the next part and click &lt;b&gt;Start scanning&lt;/b&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Press space or click &lt;b&gt;Take photo&lt;/b&gt; to take a photo</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finish</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Next part</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>New scan</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Select the camera to see the preview</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Searching for cameras</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The disk is full or the scan folder cannot be written: no more cells are stored. Finish the scan to upload what it holds.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Recovered the unsaved scan of %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>%1 | %2 | %3 | %4 | %5 | %6
</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SaveOptions</name>
    <message>
        <source>Saving scan</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Saved scan %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Saved as %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed to save %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save scan to Tavrona</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enter the scan name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The upload failed: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open scan after saving</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open Scan</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ScanView</name>
    <message>
        <source>The distance between A and B is too small</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Distance between A and B (milimeters)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Invalid input</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Click on two points at a measurable distance</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SelectCamera</name>
    <message>
        <source>Camera</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Searching for cameras</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Select camera</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TopBar</name>
    <message>
        <source>Sharpness</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Pause</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finish</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Next part</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Eraser</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Done</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Hide camera</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show camera</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ruler tool</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>UnsavedScans</name>
    <message>
        <source>Scan of %1: the upload failed (%2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Scan of %1: saving as %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Scan of %1: waiting for %2 to log in</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Scan of %1: 1 file to upload</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>Scan of %1: %n files to upload</source>
        <translation type="unfinished">
            <numerusform></numerusform>
            <numerusform></numerusform>
        </translation>
    </message>
    <message>
        <source>Scan of %1: uploaded, not saved</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Scan of %1: preparing the upload</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Saved scan %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed to save %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unsaved scans</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Scan name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Discard</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Discard the scan of %1?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Its files are deleted from this computer, and it is not saved.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>UserView</name>
    <message>
        <source>Log In</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connect to Tavrona</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Log out</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Confirm login in web browser</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>VignettingCorrection</name>
    <message>
        <source>Vignetting correction</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enabled</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel profile generation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Generate vignetting profile</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Move camera in all directions</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
