<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
<context>
    <name>Api</name>
    <message>
        <source>Network error:</source>
        <translation>Błąd sieci:</translation>
    </message>
    <message>
        <source>Log-in failed: unexpected reply from the service (%1)</source>
        <translation>Logowanie nie powiodło się: nieoczekiwana odpowiedź serwisu (%1)</translation>
    </message>
    <message>
        <source>Log-in refused: the service gave a log-in page this program does not open (%1)</source>
        <translation>Logowanie odrzucone: serwis podał stronę logowania, której ten program nie otwiera (%1)</translation>
    </message>
    <message>
        <source>Upload refused: the service gave a storage address this program does not send files to (%1)</source>
        <translation>Wysyłanie odrzucone: serwis podał adres magazynu, do którego ten program nie wysyła plików (%1)</translation>
    </message>
    <message>
        <source>The scan was saved, but the service gave a page for it this program does not open (%1)</source>
        <translation>Skan został zapisany, ale serwis podał dla niego stronę, której ten program nie otwiera (%1)</translation>
    </message>
</context>
<context>
    <name>ApiThread</name>
    <message>
        <source>Failed to upload file %1</source>
        <translation>Nie udało się przesłać pliku %1</translation>
    </message>
    <message>
        <source>Your log-in has ended. Log in again to go on with the uploads.</source>
        <translation>Twoje logowanie wygasło. Zaloguj się ponownie, aby kontynuować przesyłanie.</translation>
    </message>
    <message>
        <source>The scan cannot be uploaded: the service does not take %1 (%2)</source>
        <translation>Nie można przesłać skanu: serwis nie przyjmuje pliku %1 (%2)</translation>
    </message>
    <message>
        <source>The scan was discarded</source>
        <translation>Skan został odrzucony</translation>
    </message>
</context>
<context>
    <name>CameraProperties</name>
    <message>
        <source>Camera properties</source>
        <translation>Właściwości kamery</translation>
    </message>
</context>
<context>
    <name>LensProfile</name>
    <message>
        <source>Calibrate</source>
        <translation>Kalibruj</translation>
    </message>
    <message>
        <source>Lens properties</source>
        <translation>Właściwości obiektywu</translation>
    </message>
    <message>
        <source>Magnification</source>
        <translation>Powiększenie</translation>
    </message>
    <message>
        <source>Pixel density</source>
        <translation>Gęstość pikseli</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>An error occurred. Please try again</source>
        <translation>Wystąpił błąd. Spróbuj ponownie</translation>
    </message>
    <message>
        <source>Are you sure you don&apos;t want to save this scan?</source>
        <translation>Czy na pewno nie chcesz zapisać tego skanu?</translation>
    </message>
    <message>
        <source>Before you begin, please log in to Tavrona</source>
        <translation>Zanim zaczniesz, zaloguj się do Tavrona</translation>
    </message>
    <message>
        <source>Click on the grid cells you want to erase</source>
        <translation>Kliknij komórki siatki, które chcesz usunąć</translation>
    </message>
    <message>
        <source>Finish</source>
        <translation>Koniec</translation>
    </message>
    <message>
        <source>Initializing</source>
        <translation>Inicjalizacja</translation>
    </message>
    <message>
        <source>Move the camera to the next part and click &lt;b&gt;Start scanning&lt;/b&gt;</source>
        <translation>Przesuń kamerę do następnego fragmentu i kliknij &lt;b&gt;Rozpocznij skanowanie&lt;/b&gt;</translation>
    </message>
    <message>
        <source>New scan</source>
        <translation>Nowy skan</translation>
    </message>
    <message>
        <source>Next part</source>
        <translation>Następny fragment</translation>
    </message>
    <message>
        <source>Photo series</source>
        <translation>Seria zdjęć</translation>
    </message>
    <message>
        <source>Press space or click &lt;b&gt;Take photo&lt;/b&gt; to take a photo</source>
        <translation>Naciśnij spację lub kliknij &lt;b&gt;Zrób zdjęcie&lt;/b&gt;, aby zrobić zdjęcie</translation>
    </message>
    <message>
        <source>Resume</source>
        <translation>Wznów</translation>
    </message>
    <message>
        <source>Searching for cameras</source>
        <translation>Wyszukiwanie kamer</translation>
    </message>
    <message>
        <source>Select the camera to see the preview</source>
        <translation>Wybierz kamerę, aby zobaczyć podgląd</translation>
    </message>
    <message>
        <source>Start scanning</source>
        <translation>Rozpocznij skanowanie</translation>
    </message>
    <message>
        <source>Take photo</source>
        <translation>Zrób zdjęcie</translation>
    </message>
    <message>
        <source>The scan hasn&apos;t been saved</source>
        <translation>Skan nie został zapisany</translation>
    </message>
    <message>
        <source>The disk is full or the scan folder cannot be written: no more cells are stored. Finish the scan to upload what it holds.</source>
        <translation>Dysk jest pełny albo nie można zapisywać w folderze skanu: kolejne komórki nie są zapisywane. Zakończ skan, aby przesłać to, co zawiera.</translation>
    </message>
    <message>
        <source>Recovered the unsaved scan of %1</source>
        <translation>Odzyskano niezapisany skan z %1</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>%1 | %2 | %3 | %4 | %5 | %6
</source>
        <translation>%1 | %2 | %3 | %4 | %5 | %6
</translation>
    </message>
</context>
<context>
    <name>SaveOptions</name>
    <message>
        <source>Enter the scan name</source>
        <translation>Wpisz nazwę skanu</translation>
    </message>
    <message>
        <source>The upload failed: %1</source>
        <translation>Przesyłanie nie powiodło się: %1</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Błąd</translation>
    </message>
    <message>
        <source>Failed to save %1: %2</source>
        <translation>Nie udało się zapisać %1: %2</translation>
    </message>
    <message>
        <source>Open Scan</source>
        <translation>Otwórz skan</translation>
    </message>
    <message>
        <source>Open scan after saving</source>
        <translation>Otwórz skan po zapisaniu</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Zapisz</translation>
    </message>
    <message>
        <source>Save scan to Tavrona</source>
        <translation>Zapisz skan w Tavrona</translation>
    </message>
    <message>
        <source>Saved as %1</source>
        <translation>Zapisany jako %1</translation>
    </message>
    <message>
        <source>Saved scan %1</source>
        <translation>Zapisano skan %1</translation>
    </message>
    <message>
        <source>Saving scan</source>
        <translation>Zapisywanie skanu</translation>
    </message>
</context>
<context>
    <name>ScanView</name>
    <message>
        <source>Click on two points at a measurable distance</source>
        <translation>Kliknij dwa punkty w mierzalnej odległości</translation>
    </message>
    <message>
        <source>Distance between A and B (milimeters)</source>
        <translation>Odległość pomiędzy A i B (milimetry)</translation>
    </message>
    <message>
        <source>Invalid input</source>
        <translation>Nieprawidłowa wartość</translation>
    </message>
    <message>
        <source>The distance between A and B is too small</source>
        <translation>Odległość pomiędzy A i B jest zbyt mała</translation>
    </message>
</context>
<context>
    <name>SelectCamera</name>
    <message>
        <source>Camera</source>
        <translation>Kamera</translation>
    </message>
    <message>
        <source>Searching for cameras</source>
        <translation>Wyszukiwanie kamer</translation>
    </message>
    <message>
        <source>Select camera</source>
        <translation>Wybierz kamerę</translation>
    </message>
</context>
<context>
    <name>TopBar</name>
    <message>
        <source>Done</source>
        <translation>Gotowe</translation>
    </message>
    <message>
        <source>Eraser</source>
        <translation>Usuwanie</translation>
    </message>
    <message>
        <source>Finish</source>
        <translation>Koniec</translation>
    </message>
    <message>
        <source>Hide camera</source>
        <translation>Ukryj kamerę</translation>
    </message>
    <message>
        <source>Next part</source>
        <translation>Następny fragment</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>Pauza</translation>
    </message>
    <message>
        <source>Ruler tool</source>
        <translation>Linijka</translation>
    </message>
    <message>
        <source>Sharpness</source>
        <translation>Ostrość</translation>
    </message>
    <message>
        <source>Show camera</source>
        <translation>Pokaż kamerę</translation>
    </message>
</context>
<context>
    <name>UnsavedScans</name>
    <message>
        <source>Scan of %1: the upload failed (%2)</source>
        <translation>Skan z %1: przesyłanie nie powiodło się (%2)</translation>
    </message>
    <message>
        <source>Scan of %1: saving as %2</source>
        <translation>Skan z %1: zapisywanie jako %2</translation>
    </message>
    <message>
        <source>Scan of %1: waiting for %2 to log in</source>
        <translation>Skan z %1: czeka na zalogowanie użytkownika %2</translation>
    </message>
    <message>
        <source>Scan of %1: 1 file to upload</source>
        <translation>Skan z %1: 1 plik do przesłania</translation>
    </message>
    <message numerus="yes">
        <source>Scan of %1: %n files to upload</source>
        <translation>
            <numerusform>Skan z %1: %n plik do przesłania</numerusform>
            <numerusform>Skan z %1: %n pliki do przesłania</numerusform>
            <numerusform>Skan z %1: %n plików do przesłania</numerusform>
        </translation>
    </message>
    <message>
        <source>Scan of %1: uploaded, not saved</source>
        <translation>Skan z %1: przesłany, niezapisany</translation>
    </message>
    <message>
        <source>Scan of %1: preparing the upload</source>
        <translation>Skan z %1: przygotowanie przesyłania</translation>
    </message>
    <message>
        <source>Saved scan %1</source>
        <translation>Zapisano skan %1</translation>
    </message>
    <message>
        <source>Failed to save %1: %2</source>
        <translation>Nie udało się zapisać %1: %2</translation>
    </message>
    <message>
        <source>Unsaved scans</source>
        <translation>Niezapisane skany</translation>
    </message>
    <message>
        <source>Scan name</source>
        <translation>Nazwa skanu</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Zapisz</translation>
    </message>
    <message>
        <source>Discard</source>
        <translation>Odrzuć</translation>
    </message>
    <message>
        <source>Discard the scan of %1?</source>
        <translation>Odrzucić skan z %1?</translation>
    </message>
    <message>
        <source>Its files are deleted from this computer, and it is not saved.</source>
        <translation>Jego pliki zostaną usunięte z tego komputera, a skan nie zostanie zapisany.</translation>
    </message>
</context>
<context>
    <name>UserView</name>
    <message>
        <source>Cancel</source>
        <translation>Anuluj</translation>
    </message>
    <message>
        <source>Confirm login in web browser</source>
        <translation>Potwierdź logowanie w przeglądarce</translation>
    </message>
    <message>
        <source>Connect to Tavrona</source>
        <translation>Połącz z Tavrona</translation>
    </message>
    <message>
        <source>Log In</source>
        <translation>Zaloguj się</translation>
    </message>
    <message>
        <source>Log out</source>
        <translation>Wyloguj się</translation>
    </message>
</context>
<context>
    <name>VignettingCorrection</name>
    <message>
        <source>Cancel profile generation</source>
        <translation>Anuluj generowanie profilu</translation>
    </message>
    <message>
        <source>Enabled</source>
        <translation>Włączona</translation>
    </message>
    <message>
        <source>Generate vignetting profile</source>
        <translation>Wygeneruj profil winietowania</translation>
    </message>
    <message>
        <source>Move camera in all directions</source>
        <translation>Przesuwaj kamerę we wszystkich kierunkach</translation>
    </message>
    <message>
        <source>Vignetting correction</source>
        <translation>Korekcja winietowania</translation>
    </message>
</context>
</TS>
